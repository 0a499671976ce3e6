#include "afxwin.h"

#include <process.h>

#include <vector>

#include "system_library.h"

#ifndef _WIN64
static_assert(sizeof(PAINTSTRUCT) == 64, "the paint record of a 32-bit process");
static_assert(sizeof(MSG) == 28, "the message record of a 32-bit process");
static_assert(sizeof(RECT) == 16, "the rectangle record");
#endif

namespace {

CWinApp* theOneApp = nullptr;

// Asks a dialog's own thread to end its modal run.
constexpr UINT WM_AFX_END_DIALOG = WM_APP + 1;

// The base name of the program file, without folder and extension.
std::string ProgramBaseName(HINSTANCE instance) {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
  std::string name(path, length < MAX_PATH ? length : 0);
  const std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

// The common controls' classes, the progress bar among them, from comctl32.dll in the
// system folder; the library stays loaded for the life of the process.
void LoadCommonControls() {
  using InitFn = void(WINAPI*)();
  if (const InitFn init = LookUpFunction<InitFn>(LoadSystemLibrary("comctl32.dll"), "InitCommonControls")) init();
}

unsigned __stdcall ThreadStart(void* param) {
  CWinThread* thread = static_cast<CWinThread*>(param);
  const UINT code = thread->m_pfnThreadProc(thread->m_pThreadParams);
  if (thread->m_bAutoDelete) delete thread;
  return code;
}

}  // namespace

// ---- strings

BOOL CString::LoadString(UINT id) {
  // LoadStringA cuts a text to the buffer; grow until the whole text fits.
  std::vector<char> buffer(256);
  for (;;) {
    const int length = ::LoadStringA(AfxGetInstanceHandle(), id, buffer.data(), static_cast<int>(buffer.size()));
    if (length < static_cast<int>(buffer.size()) - 1) {
      text_.assign(buffer.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
      return length > 0;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// ---- windows

BOOL CMenu::AppendMenu(UINT flags, UINT_PTR idNewItem, LPCSTR newItem) {
  return ::AppendMenuA(m_hMenu, flags, idNewItem, newItem);
}

BOOL CDC::DrawIcon(int x, int y, HICON icon) { return ::DrawIcon(m_hDC, x, y, icon); }

CPaintDC::CPaintDC(CWnd* wnd) : hWnd_(wnd->m_hWnd), paint_() { m_hDC = BeginPaint(hWnd_, &paint_); }

CPaintDC::~CPaintDC() { EndPaint(hWnd_, &paint_); }

BOOL CWnd::EnableWindow(BOOL enable) { return ::EnableWindow(m_hWnd, enable); }

void CWnd::SetWindowText(LPCSTR text) { ::SetWindowTextA(m_hWnd, text); }

int CWnd::MessageBox(LPCSTR text, LPCSTR caption, UINT type) {
  return ::MessageBoxA(m_hWnd, text, caption ? caption : AfxGetApp()->m_pszAppName, type);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

CMenu* CWnd::GetSystemMenu(BOOL revert) {
  m_systemMenu.m_hMenu = ::GetSystemMenu(m_hWnd, revert);
  return m_systemMenu.m_hMenu ? &m_systemMenu : nullptr;
}

HICON CWnd::SetIcon(HICON icon, BOOL bigIcon) {
  return reinterpret_cast<HICON>(
      SendMessage(WM_SETICON, bigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
}

BOOL CWnd::SetForegroundWindow() { return ::SetForegroundWindow(m_hWnd); }

BOOL CWnd::IsIconic() const { return ::IsIconic(m_hWnd); }

void CWnd::GetClientRect(LPRECT rect) const { ::GetClientRect(m_hWnd, rect); }

LRESULT CWnd::Default() { return DefWindowProcA(m_hWnd, m_current.message, m_current.wParam, m_current.lParam); }

const AFX_MSGMAP* CWnd::GetThisMessageMap() {
  static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr}};
  static const AFX_MSGMAP map = {nullptr, entries};
  return &map;
}

const AFX_MSGMAP* CWnd::GetMessageMap() const { return GetThisMessageMap(); }

bool CWnd::DispatchMessageMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  for (const AFX_MSGMAP* map = GetMessageMap(); map; map = map->base ? map->base() : nullptr) {
    for (const AFX_MSGMAP_ENTRY* entry = map->entries; entry->call; ++entry) {
      if (entry->message != message) continue;
      if (message == WM_COMMAND && (entry->code != HIWORD(wParam) || entry->id != LOWORD(wParam))) continue;
      // A handler may run a nested modal loop; the message it handles is kept for
      // Default() across it.
      const CurrentMessage outer = m_current;
      m_current = {message, wParam, lParam};
      result = entry->call(this, wParam, lParam);
      m_current = outer;
      return true;
    }
  }
  return false;
}

// ---- dialogs

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
  control.m_hWnd = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id);
}

CDialog::CDialog(UINT templateId, CWnd* parent) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

BEGIN_MESSAGE_MAP(CDialog, CWnd)
  ON_COMMAND(IDOK, OnOK)
  ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

INT_PTR CDialog::DoModal() {
  // Without a parent the dialog is owned by the window that is active on this thread,
  // so that, like a nested box, it keeps that window disabled while it runs.
  HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
  if (!owner) {
    HWND active = GetActiveWindow();
    if (active && IsWindowVisible(active) && IsWindowEnabled(active)) owner = active;
  }
  return DialogBoxParamA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), owner, &CDialog::DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

void CDialog::EndDialog(int result) {
  if (GetWindowThreadProcessId(m_hWnd, nullptr) == GetCurrentThreadId()) {
    ::EndDialog(m_hWnd, result);
  } else {
    // The modal loop runs on the dialog's own thread; the caller waits until it has
    // taken the result.
    ::SendMessageA(m_hWnd, WM_AFX_END_DIALOG, static_cast<WPARAM>(static_cast<INT_PTR>(result)), 0);
  }
}

BOOL CDialog::OnInitDialog() { return UpdateData(FALSE); }

void CDialog::OnOK() { EndDialog(IDOK); }

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  return DispatchMessageMap(WM_COMMAND, wParam, lParam, result);
}

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  CDataExchange exchange(this, saveAndValidate);
  DoDataExchange(&exchange);
  return TRUE;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    CDialog* dialog = reinterpret_cast<CDialog*>(lParam);
    SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
    dialog->m_hWnd = hWnd;
    return dialog->OnInitDialog();
  }
  CDialog* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(hWnd, DWLP_USER));
  if (!dialog) return FALSE;  // messages before WM_INITDIALOG
  switch (message) {
    case WM_AFX_END_DIALOG:
      ::EndDialog(hWnd, static_cast<INT_PTR>(wParam));
      return TRUE;
    case WM_COMMAND:
      return dialog->OnCommand(wParam, lParam);
    case WM_NCDESTROY:
      dialog->m_hWnd = nullptr;
      SetWindowLongPtrA(hWnd, DWLP_USER, 0);
      return FALSE;
    default: {
      LRESULT result = 0;
      if (!dialog->DispatchMessageMap(message, wParam, lParam, result)) return FALSE;
      // WM_QUERYDRAGICON is one of the few messages whose answer is the procedure's result.
      if (message == WM_QUERYDRAGICON) return static_cast<INT_PTR>(result);
      SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, result);
      return TRUE;
    }
  }
}

// ---- controls

UINT CButton::GetState() const { return static_cast<UINT>(::SendMessageA(m_hWnd, BM_GETSTATE, 0, 0)); }

HICON CStatic::SetIcon(HICON icon) {
  return reinterpret_cast<HICON>(::SendMessageA(m_hWnd, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0));
}

// ---- the application

CWinApp::CWinApp(LPCSTR appName) {
  theOneApp = this;
  if (appName) {
    appName_ = appName;
    m_pszAppName = appName_.c_str();
  }
}

BOOL CWinApp::InitInstance() { return TRUE; }

BOOL CWinApp::Enable3dControls() { return TRUE; }  // the system draws 3-D controls itself

HICON CWinApp::LoadIcon(UINT id) const { return ::LoadIconA(m_hInstance, MAKEINTRESOURCEA(id)); }

CWinApp* AfxGetApp() { return theOneApp; }

HINSTANCE AfxGetInstanceHandle() { return theOneApp ? theOneApp->m_hInstance : GetModuleHandleA(nullptr); }

int AfxWinMain(HINSTANCE instance) {
  CWinApp* app = AfxGetApp();
  app->m_hInstance = instance;
  if (!app->m_pszAppName) {
    app->appName_ = ProgramBaseName(instance);
    app->m_pszAppName = app->appName_.c_str();
  }
  LoadCommonControls();
  // There is no message loop of the application's own: every window is a modal
  // dialog run from InitInstance, so the program ends when it returns.
  app->InitInstance();
  return 0;
}

int AfxMessageBox(LPCSTR text, UINT type, UINT) {
  // Without an icon flag the box gets the one that suits its buttons.
  if ((type & MB_ICONMASK) == 0) {
    switch (type & MB_TYPEMASK) {
      case MB_OK:
      case MB_OKCANCEL:
        type |= MB_ICONEXCLAMATION;
        break;
      case MB_YESNO:
      case MB_YESNOCANCEL:
        type |= MB_ICONQUESTION;
        break;
      default:
        break;
    }
  }
  // Owned by the window active on the calling thread: none on a worker thread.
  return ::MessageBoxA(GetActiveWindow(), text, AfxGetApp()->m_pszAppName, type);
}

int AfxMessageBox(UINT textId, UINT type, UINT helpId) {
  CString text;
  text.LoadString(textId);
  return AfxMessageBox(text, type, helpId);
}

BOOL AfxInitRichEdit() {
  static HMODULE richEdit = LoadSystemLibrary("riched32.dll");
  return richEdit != nullptr;
}

void AfxEnableControlContainer() {}  // the pages hold no embedded controls

// ---- threads

CWinThread::~CWinThread() {
  if (m_hThread != nullptr) CloseHandle(m_hThread);
}

DWORD CWinThread::ResumeThread() { return ::ResumeThread(m_hThread); }

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority, UINT stackSize, DWORD createFlags,
                           LPSECURITY_ATTRIBUTES security) {
  CWinThread* thread = new CWinThread;
  thread->m_pfnThreadProc = proc;
  thread->m_pThreadParams = param;
  unsigned id = 0;
  // Created suspended so that the object is complete before the thread can end and
  // delete it.
  const uintptr_t handle = _beginthreadex(security, stackSize, &ThreadStart, thread, CREATE_SUSPENDED, &id);
  if (!handle) {
    delete thread;
    return nullptr;
  }
  thread->m_hThread = reinterpret_cast<HANDLE>(handle);
  thread->m_nThreadID = id;
  SetThreadPriority(thread->m_hThread, priority);
  if (!(createFlags & CREATE_SUSPENDED)) thread->ResumeThread();
  return thread;
}

void AfxWaitHandlingSentMessages(HANDLE handle) {
  for (;;) {
    // Handles what was sent already: the wait below wakes only for what comes after.
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    if (MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_SENDMESSAGE) != WAIT_OBJECT_0 + 1) return;
  }
}

CPageThread::~CPageThread() { Stop(); }

BOOL CPageThread::Begin(AFX_THREADPROC proc, LPVOID param) {
  Stop();
  m_hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (m_hStop == nullptr) return FALSE;
  m_pThread = AfxBeginThread(proc, param, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
  if (m_pThread == nullptr) {
    CloseHandle(m_hStop);
    m_hStop = nullptr;
    return FALSE;
  }
  m_pThread->m_bAutoDelete = FALSE;
  m_pThread->ResumeThread();
  return TRUE;
}

BOOL CPageThread::WaitForStop(DWORD milliseconds) const {
  return WaitForSingleObject(m_hStop, milliseconds) == WAIT_OBJECT_0;
}

void CPageThread::Stop() {
  if (m_pThread == nullptr) return;
  SetEvent(m_hStop);
  AfxWaitHandlingSentMessages(m_pThread->m_hThread);
  delete m_pThread;
  m_pThread = nullptr;
  CloseHandle(m_hStop);
  m_hStop = nullptr;
}
