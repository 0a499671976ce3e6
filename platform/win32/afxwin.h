// The slice of the desktop framework that the wizard's pages stand on: the
// application object, modal dialogs with a small message map, the plain controls,
// strings from the string table, message boxes and worker threads. Only what the
// program uses is here, under the framework's own names.
#pragma once

#include <windows.h>

#include <string>

class CWnd;

// ---- strings

class CString {
 public:
  CString() = default;
  CString(LPCSTR text) : text_(text ? text : "") {}  // NOLINT: converts like the framework's
  // Loads the text of a string-table entry; FALSE (and an empty string) when there is none.
  BOOL LoadString(UINT id);
  BOOL IsEmpty() const { return text_.empty(); }
  int GetLength() const { return static_cast<int>(text_.size()); }
  operator LPCSTR() const { return text_.c_str(); }

 private:
  std::string text_;
};

// ---- message maps

// One entry: a window message, or a command notification from a control.
struct AFX_MSGMAP_ENTRY {
  UINT message;  // WM_COMMAND entries also match the notification code and the control id
  UINT code;
  UINT id;
  LRESULT (*call)(CWnd* target, WPARAM wParam, LPARAM lParam);
};

struct AFX_MSGMAP {
  const AFX_MSGMAP* (*base)();
  const AFX_MSGMAP_ENTRY* entries;  // ends with an entry whose call is null
};

template <class T, void (T::*Handler)()>
LRESULT AfxCallCommand(CWnd* target, WPARAM, LPARAM) {
  (static_cast<T*>(target)->*Handler)();
  return 0;
}

template <class T>
LRESULT AfxCallSysCommand(CWnd* target, WPARAM wParam, LPARAM lParam) {
  static_cast<T*>(target)->OnSysCommand(static_cast<UINT>(wParam), lParam);
  return 0;
}

template <class T>
LRESULT AfxCallPaint(CWnd* target, WPARAM, LPARAM) {
  static_cast<T*>(target)->OnPaint();
  return 0;
}

template <class T>
LRESULT AfxCallQueryDragIcon(CWnd* target, WPARAM, LPARAM) {
  return reinterpret_cast<LRESULT>(static_cast<T*>(target)->OnQueryDragIcon());
}

template <class T>
LRESULT AfxCallQueryEndSession(CWnd* target, WPARAM, LPARAM) {
  return static_cast<T*>(target)->OnQueryEndSession();
}

template <class T>
LRESULT AfxCallPowerBroadcast(CWnd* target, WPARAM wParam, LPARAM lParam) {
  return static_cast<LRESULT>(static_cast<T*>(target)->OnPowerBroadcast(static_cast<UINT>(wParam), lParam));
}

template <class T>
LRESULT AfxCallDestroy(CWnd* target, WPARAM, LPARAM) {
  static_cast<T*>(target)->OnDestroy();
  return 0;
}

#define DECLARE_MESSAGE_MAP()                      \
 protected:                                        \
  static const AFX_MSGMAP* GetThisMessageMap();    \
  const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                          \
  const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); }     \
  const AFX_MSGMAP* theClass::GetThisMessageMap() {                                     \
    using ThisClass = theClass;                                                         \
    using TheBaseClass = baseClass;                                                     \
    static const AFX_MSGMAP_ENTRY entries[] = {
#define END_MESSAGE_MAP()                                            \
  {0, 0, 0, nullptr}};                                               \
  static const AFX_MSGMAP map = {&TheBaseClass::GetThisMessageMap, entries}; \
  return &map;                                                       \
  }

#define ON_COMMAND(id, handler) {WM_COMMAND, 0, (id), &AfxCallCommand<ThisClass, &ThisClass::handler>},
#define ON_BN_CLICKED(id, handler) \
  {WM_COMMAND, BN_CLICKED, (id), &AfxCallCommand<ThisClass, &ThisClass::handler>},
#define ON_WM_SYSCOMMAND() {WM_SYSCOMMAND, 0, 0, &AfxCallSysCommand<ThisClass>},
#define ON_WM_PAINT() {WM_PAINT, 0, 0, &AfxCallPaint<ThisClass>},
#define ON_WM_QUERYDRAGICON() {WM_QUERYDRAGICON, 0, 0, &AfxCallQueryDragIcon<ThisClass>},
#define ON_WM_QUERYENDSESSION() {WM_QUERYENDSESSION, 0, 0, &AfxCallQueryEndSession<ThisClass>},
#define ON_WM_POWERBROADCAST() {WM_POWERBROADCAST, 0, 0, &AfxCallPowerBroadcast<ThisClass>},
#define ON_WM_DESTROY() {WM_DESTROY, 0, 0, &AfxCallDestroy<ThisClass>},

// ---- windows

class CMenu {
 public:
  HMENU m_hMenu = nullptr;
  BOOL AppendMenu(UINT flags, UINT_PTR idNewItem = 0, LPCSTR newItem = nullptr);
};

class CDC {
 public:
  HDC m_hDC = nullptr;
  BOOL DrawIcon(int x, int y, HICON icon);
  HDC GetSafeHdc() const { return m_hDC; }
};

// Painting between BeginPaint and EndPaint.
class CPaintDC : public CDC {
 public:
  explicit CPaintDC(CWnd* wnd);
  ~CPaintDC();
  CPaintDC(const CPaintDC&) = delete;
  CPaintDC& operator=(const CPaintDC&) = delete;

 private:
  HWND hWnd_;
  PAINTSTRUCT paint_;
};

class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND m_hWnd = nullptr;
  HWND GetSafeHwnd() const { return m_hWnd; }

  BOOL EnableWindow(BOOL enable = TRUE);
  void SetWindowText(LPCSTR text);
  int MessageBox(LPCSTR text, LPCSTR caption = nullptr, UINT type = MB_OK);
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  // The window's system menu (reset to the default with revert); null when it has none.
  CMenu* GetSystemMenu(BOOL revert);
  HICON SetIcon(HICON icon, BOOL bigIcon);
  BOOL SetForegroundWindow();
  BOOL IsIconic() const;
  void GetClientRect(LPRECT rect) const;

  // Default processing of the message being handled.
  LRESULT Default();

  // The message map of this class and the chain of its bases.
  static const AFX_MSGMAP* GetThisMessageMap();
  virtual const AFX_MSGMAP* GetMessageMap() const;

 protected:
  // Runs the map entry for the message, if there is one; true when one ran.
  bool DispatchMessageMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

  struct CurrentMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
  } m_current{};

 private:
  CMenu m_systemMenu;
};

// ---- dialogs and data exchange

class CDataExchange {
 public:
  CDataExchange(CWnd* dialog, BOOL saveAndValidate) : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
  CWnd* m_pDlgWnd;
  BOOL m_bSaveAndValidate;
};

// Binds a control member to the dialog's control of that id.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

class CDialog : public CWnd {
 public:
  explicit CDialog(UINT templateId, CWnd* parent = nullptr);

  // Runs the dialog modally on this thread; the result that ended it.
  virtual INT_PTR DoModal();
  // Ends the modal run with a result; from any thread.
  void EndDialog(int result);

  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  // Routes a command through the message map; IDOK and IDCANCEL reach OnOK and OnCancel.
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
  virtual void DoDataExchange(CDataExchange* pDX);
  BOOL UpdateData(BOOL saveAndValidate = TRUE);

 protected:
  UINT m_nIDTemplate;
  CWnd* m_pParentWnd;

  DECLARE_MESSAGE_MAP()

 private:
  static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
};

// ---- controls

class CButton : public CWnd {
 public:
  UINT GetState() const;
};

class CStatic : public CWnd {
 public:
  HICON SetIcon(HICON icon);
};

class CEdit : public CWnd {};

// ---- the application

class CWinApp {
 public:
  explicit CWinApp(LPCSTR appName = nullptr);
  virtual ~CWinApp() = default;
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // FALSE ends the program at once, without a message loop.
  virtual BOOL InitInstance();
  BOOL Enable3dControls();
  HICON LoadIcon(UINT id) const;

  HINSTANCE m_hInstance = nullptr;
  // The caption of every box shown by AfxMessageBox: the given name, or else the
  // base name of the program file.
  LPCSTR m_pszAppName = nullptr;
  CWnd* m_pMainWnd = nullptr;

 private:
  friend int AfxWinMain(HINSTANCE instance);
  std::string appName_;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
// Starts the application: runs InitInstance of the one CWinApp object.
int AfxWinMain(HINSTANCE instance);

int AfxMessageBox(LPCSTR text, UINT type = MB_OK, UINT helpId = 0);
int AfxMessageBox(UINT textId, UINT type = MB_OK, UINT helpId = static_cast<UINT>(-1));

// Makes the rich-edit window class (RICHEDIT) available.
BOOL AfxInitRichEdit();
void AfxEnableControlContainer();

// ---- threads

using AFX_THREADPROC = UINT(__cdecl*)(LPVOID);

class CWinThread {
 public:
  CWinThread() = default;
  // Closes the thread's handle.
  ~CWinThread();
  CWinThread(const CWinThread&) = delete;
  CWinThread& operator=(const CWinThread&) = delete;

  DWORD ResumeThread();

  HANDLE m_hThread = nullptr;
  DWORD m_nThreadID = 0;
  // TRUE: the object deletes itself when the procedure returns. FALSE: whoever started
  // the thread keeps the object, waits for the thread and deletes it; set it while the
  // thread is still suspended.
  BOOL m_bAutoDelete = TRUE;
  AFX_THREADPROC m_pfnThreadProc = nullptr;
  LPVOID m_pThreadParams = nullptr;
};

// Starts a worker thread running proc(param). A thread object that deletes itself may
// be used only while the thread is known to run (or was created suspended); null when
// the thread could not be started.
CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority = THREAD_PRIORITY_NORMAL,
                           UINT stackSize = 0, DWORD createFlags = 0,
                           LPSECURITY_ATTRIBUTES security = nullptr);

// Waits until the handle is signalled, handling meanwhile the messages that other
// threads send to this thread's windows: a worker that sets a text, a bar or a
// button's state of a page, or ends it, waits until the page's thread has handled
// that, so a plain wait for the worker could wait for ever.
void AfxWaitHandlingSentMessages(HANDLE handle);

// A thread that a page starts, may ask to stop, and waits for before it goes, so the
// thread never outlives the page it works on.
class CPageThread {
 public:
  CPageThread() = default;
  // Asks the thread to stop and waits for it.
  ~CPageThread();
  CPageThread(const CPageThread&) = delete;
  CPageThread& operator=(const CPageThread&) = delete;

  // Starts proc(param) at normal priority; FALSE when it could not be started.
  BOOL Begin(AFX_THREADPROC proc, LPVOID param);
  // For the thread: waits up to the given time for a stop request; TRUE once one was made.
  BOOL WaitForStop(DWORD milliseconds) const;
  // Asks the thread to stop, waits until it has ended and releases it. Nothing to do
  // when none was started or it has been stopped already.
  void Stop();

 private:
  CWinThread* m_pThread = nullptr;
  HANDLE m_hStop = nullptr;  // manual-reset: set once, stays set
};
