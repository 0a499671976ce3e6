#include "welcome_dlg.h"

#include "about_dlg.h"
#include "cfile.h"
#include "confirm_cancel.h"
#include "desktop_calls.h"
#include "device_prep/device_push.h"
#include "device_prep/temp_files.h"
#include "enter_downloader_dlg.h"
#include "failure_dlgs.h"
#include "image.h"
#include "resource.h"
#include "string_table.h"
#include "text_panes.h"
#include "win32_rapi.h"

namespace {

// The device helper's name on the device, in its root folder.
constexpr char16_t HELPER_DEVICE_NAME[] = u"Nalvex.exe";

}  // namespace

static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record the system expects");

CWelcomeDlg::CWelcomeDlg() : CDialog(IDD_WELCOME), m_hIcon(AfxGetApp()->LoadIcon(IDR_MAINFRAME)) {}

BEGIN_MESSAGE_MAP(CWelcomeDlg, CDialog)
  ON_WM_SYSCOMMAND()
  ON_WM_PAINT()
  ON_WM_QUERYDRAGICON()
  ON_BN_CLICKED(IDC_WELCOME_NEXT, OnNextClicked)
  ON_BN_CLICKED(IDC_WELCOME_CANCEL, OnCancelClicked)
END_MESSAGE_MAP()

void CWelcomeDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_WELCOME_NEXT, m_btnNext);
  DDX_Control(pDX, IDC_RICH_TEXT, m_richText);
}

BOOL CWelcomeDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  CMenu* systemMenu = GetSystemMenu(FALSE);
  if (systemMenu) {
    CString about;
    about.LoadString(IDS_ABOUTBOX);
    if (!about.IsEmpty()) {
      systemMenu->AppendMenu(MF_SEPARATOR);
      systemMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, about);
    }
  }

  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);

  HostOsCode = HOST_OS_CODE_DEFAULT;
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExA(&version)) {
    // The page runs on with an empty pane and the default code.
    AfxMessageBox("Get OS version failed!", MB_OK, 0);
    return FALSE;
  }
  HostOsCode = HostOsCodeForVersion(version.dwMajorVersion, version.dwMinorVersion);

  FillWelcomeText(m_richText);
  SetForegroundWindow();
  return TRUE;
}

void CWelcomeDlg::OnSysCommand(UINT id, LPARAM) {
  if ((id & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutDlg about;
    about.DoModal();
  } else {
    Default();
  }
}

void CWelcomeDlg::OnPaint() {
  if (!IsIconic()) {
    Default();
    return;
  }
  CPaintDC dc(this);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
  RECT client;
  GetClientRect(&client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CWelcomeDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CWelcomeDlg::OnNextClicked() {
  if (AfxMessageBox(IDS_DATA_LOSS_WARNING, MB_YESNO) != IDYES) return;
  OnOK();

  // Checked before anything touches the device: the transfer would find a wrong file
  // only once the device waits in its downloader.
  if (!TempFilesReady(*this)) {
    DeleteTempFiles();
    return;
  }

  CFile helper;
  if (!helper.Open(HELPER_FILE_NAME, CFile::modeRead | CFile::shareDenyNone)) {
    CString text;
    CString caption;
    text.LoadString(IDS_CANNOT_OPEN_FILE);
    caption.LoadString(IDS_ERROR_CAPTION);
    MessageBox(text, caption, MB_OK | MB_ICONHAND);
    DeleteTempFiles();
    return;
  }

  RapiLibrary rapi;
  const int pushed = PushFileToDevice(rapi, helper, HELPER_DEVICE_NAME);
  // Closed at once: the pages that follow run inside this handler, and a file still
  // open here could not be deleted with the other working files when they end.
  helper.Close();
  // A device left in its downloader by a transfer that did not finish cannot be
  // reached through the sync software, but is ready for step 2 as it is.
  if ((pushed && LaunchOnDevice(rapi, HELPER_DEVICE_NAME)) ||
      (DownloaderPortPresent() && AfxMessageBox(IDS_DOWNLOADER_ALREADY_THERE, MB_YESNO) == IDYES)) {
    CEnterDownloaderDlg step2;
    step2.DoModal();
    return;
  }

  CConnectFailedDlg failed;
  if (failed.DoModal() == RESULT_RESTART) {
    CWelcomeDlg welcome;
    welcome.DoModal();
    return;
  }
  DeleteTempFiles();
}

void CWelcomeDlg::OnCancelClicked() { OnCancel(); }

void CWelcomeDlg::OnCancel() {
  if (!ConfirmCancel(*this)) return;
  DeleteTempFiles();
  CDialog::OnCancel();
}
