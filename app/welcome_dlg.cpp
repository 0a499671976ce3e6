#include "welcome_dlg.h"

#include "about_dlg.h"
#include "confirm_cancel.h"
#include "device_prep/temp_files.h"
#include "image.h"
#include "resource.h"
#include "string_table.h"
#include "text_panes.h"
#include "win32_desktop.h"

static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record the system expects");

CWelcomeDlg::CWelcomeDlg() : CDialog(IDD_WELCOME), m_hIcon(AfxGetApp()->LoadIcon(IDR_MAINFRAME)) {}

BEGIN_MESSAGE_MAP(CWelcomeDlg, CDialog)
  ON_WM_SYSCOMMAND()
  ON_WM_PAINT()
  ON_WM_QUERYDRAGICON()
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

void CWelcomeDlg::OnCancelClicked() { OnCancel(); }

void CWelcomeDlg::OnCancel() {
  if (!ConfirmCancel(*this)) return;
  Win32Desktop desktop;
  DeleteTempFiles(desktop);
  CDialog::OnCancel();
}
