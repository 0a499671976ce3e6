#include "update_progress_dlg.h"

#include "cfile.h"
#include "desktop_calls.h"
#include "device_prep/temp_files.h"
#include "download.h"
#include "resource.h"
#include "string_table.h"
#include "win32_clock.h"
#include "win32_desktop.h"
#include "win32_message_boxes.h"
#include "win32_serial.h"

namespace {

class ProgressCtrlBar : public ProgressBar {
 public:
  explicit ProgressCtrlBar(CProgressCtrl& bar) : bar_(bar) {}
  void SetRange(std::int32_t upper) override { bar_.SetRange32(0, upper); }
  std::int32_t GetUpper() override {
    int lower = 0;
    int upper = 0;
    bar_.GetRange(lower, upper);
    return upper;
  }
  void SetPos(std::int32_t position) override { bar_.SetPos(position); }
  std::int32_t GetPos() override { return bar_.GetPos(); }

 private:
  CProgressCtrl& bar_;
};

// The page as the worker sees it: every change is a message sent to the page's
// windows, which its own thread handles.
class ProgressDlgView : public ProgressPage {
 public:
  explicit ProgressDlgView(CUpdateProgressDlg& dlg)
      : dlg_(dlg), overall_(dlg.m_progressTop), step_(dlg.m_progressBottom) {}
  void SetTitle(const std::string& text) override { dlg_.SetWindowText(text.c_str()); }
  void SetHeading(const std::string& text) override { dlg_.m_editTop.SetWindowText(text.c_str()); }
  void SetStepCaption(const std::string& text) override { dlg_.m_editBottom.SetWindowText(text.c_str()); }
  ProgressBar& OverallBar() override { return overall_; }
  ProgressBar& StepBar() override { return step_; }
  void End(int result) override { dlg_.EndDialog(result); }

 private:
  CUpdateProgressDlg& dlg_;
  ProgressCtrlBar overall_;
  ProgressCtrlBar step_;
};

}  // namespace

CUpdateProgressDlg::CUpdateProgressDlg() : CDialog(IDD_PROGRESS) {}

BEGIN_MESSAGE_MAP(CUpdateProgressDlg, CDialog)
  ON_WM_QUERYENDSESSION()
  ON_WM_POWERBROADCAST()
  ON_WM_DESTROY()
END_MESSAGE_MAP()

INT_PTR CUpdateProgressDlg::DoModal() {
  const INT_PTR result = CDialog::DoModal();
  m_worker.Stop();
  return result;
}

BOOL CUpdateProgressDlg::OnCommand(WPARAM, LPARAM) { return TRUE; }

void CUpdateProgressDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_PROGRESS_TOP, m_progressTop);
  DDX_Control(pDX, IDC_PROGRESS_BOTTOM, m_progressBottom);
  DDX_Control(pDX, IDC_EDIT_TOP, m_editTop);
  DDX_Control(pDX, IDC_EDIT_BOTTOM, m_editBottom);
}

BOOL CUpdateProgressDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  StopActiveSync(nullptr);
  SetForegroundWindow();
  CString reason;
  reason.LoadString(IDS_PROGRESS_TITLE);  // the caption the worker gives the page
  HoldDesktop(*this, reason);
  if (!m_worker.Begin(&DownloadThreadProc, this)) {
    // Only the worker ends the page: without it the page would stay for ever.
    CString text;
    text.LoadString(IDS_UNEXPECTED_ERROR);
    MessageBox(text, nullptr, MB_OK | MB_ICONEXCLAMATION);
    EndDialog(DOWNLOAD_FAILED);
  }
  return TRUE;
}

BOOL CUpdateProgressDlg::OnQueryEndSession() { return FALSE; }

UINT CUpdateProgressDlg::OnPowerBroadcast(UINT event, LPARAM) {
  return event == PBT_APMQUERYSUSPEND ? BROADCAST_QUERY_DENY : TRUE;
}

void CUpdateProgressDlg::OnDestroy() { ReleaseDesktop(*this); }

UINT __cdecl DownloadThreadProc(LPVOID param) {
  // Everything the transfer uses lives here, on the worker's own stack; the page is
  // reached only through its windows, and not at all once the transfer has ended it.
  Win32Desktop desktop;
  EnterTempFolder(desktop);

  CUpdateProgressDlg& dlg = *static_cast<CUpdateProgressDlg*>(param);
  ProgressDlgView page(dlg);
  // Owned by the page, the boxes stand in front of it and keep it disabled while
  // they wait for an answer.
  AfxMessageBoxes boxes(&dlg);
  Win32Clock clock;
  Win32FileSystem files;
  Win32PortOpener ports;
  DownloadContext context{page, boxes, clock, files, ports,
                          {UsbSerialPortPath(DEVICE_PORT_NUMBER), IMAGE_FILE_NAME, STAGING_FILE_NAME}};
  return DownloadThreadProc(context);
}
