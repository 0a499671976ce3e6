// Opens each page template that has a text pane, fills the pane as its page does, and
// checks the text and the format of every piece in the running rich-edit control.
// Also checks the slice's pieces that those pages rely on: progress-bar ranges, the
// failure dialogs' icon and check box, and a page ended from a worker thread.
// Prints one line per check; exit 0 when all passed.
#include <cstdio>
#include <string>
#include <vector>

#include "afxcmn.h"
#include "resource.h"
#include "string_table.h"
#include "text_panes.h"

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++failures;
}

// A piece as the page's description gives it; plain pieces have no format of their own.
struct Piece {
  UINT id;
  bool formatted;
  bool bold;
  COLORREF colour;
  LONG height;
};

constexpr COLORREF RED = 0x0000FF;
constexpr COLORREF GREY = 0x646464;

const std::vector<Piece> WELCOME = {
    {102, true, false, 0, 240}, {103, true, true, RED, 240}, {104, false, false, 0, 0},
    {105, true, true, RED, 240}, {106, false, false, 0, 0}, {107, true, true, RED, 240},
    {108, false, false, 0, 0},  {128, false, false, 0, 0},   {150, false, false, 0, 0},
    {109, true, true, RED, 240}, {110, false, false, 0, 0},
};
const std::vector<Piece> ENTER_DOWNLOADER = {
    {111, true, false, 0, 240}, {112, true, true, RED, 240}, {113, true, false, 0, 240}, {114, true, false, GREY, 300}};
const std::vector<Piece> UPDATE = {
    {115, true, false, 0, 240}, {116, true, true, RED, 240}, {117, true, false, 0, 240}, {127, true, false, RED, 240}};
const std::vector<Piece> FINISH = {{121, true, false, 0, 240}};
const std::vector<Piece> TRANSFER_FAILED = {{137, true, true, 0, 240}};
const std::vector<Piece> CONNECT_FAILED = {{138, true, true, RED, 240}, {139, true, true, 0, 240}};

constexpr DWORD FORMAT_MASK = CFM_BOLD | CFM_COLOR | CFM_SIZE | CFM_ITALIC | CFM_UNDERLINE | CFM_STRIKEOUT;
constexpr DWORD OTHER_EFFECTS = CFE_ITALIC | CFE_UNDERLINE | CFE_STRIKEOUT;

std::string PaneText(CRichEditCtrl& pane) {
  std::vector<char> buffer(static_cast<std::size_t>(GetWindowTextLengthA(pane.m_hWnd)) + 1);
  const int length = GetWindowTextA(pane.m_hWnd, buffer.data(), static_cast<int>(buffer.size()));
  std::string text;
  for (int i = 0; i < length; ++i) {
    if (buffer[static_cast<std::size_t>(i)] == '\r' && i + 1 < length && buffer[static_cast<std::size_t>(i) + 1] == '\n')
      continue;  // one line break, whichever way the control spells it
    text += buffer[static_cast<std::size_t>(i)];
  }
  return text;
}

// A page whose only work is to fill its pane, have it checked and end.
class FillDlg : public CDialog {
 public:
  FillDlg(const char* name, UINT templateId, void (*fill)(CRichEditCtrl&), const std::vector<Piece>& pieces)
      : CDialog(templateId), name_(name), fill_(fill), pieces_(pieces) {}

  std::string text;

 protected:
  void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, IDC_RICH_TEXT, m_richText); }

  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    CHARFORMATA initial = {};
    m_richText.GetSelectionCharFormat(initial);
    fill_(m_richText);
    CheckPieces(initial);
    EndDialog(IDOK);
    return TRUE;
  }

 private:
  void CheckPieces(const CHARFORMATA& initial) {
    text = PaneText(m_richText);
    std::string expected;
    for (const Piece& piece : pieces_) expected += LoadText(piece.id);
    Check(text == expected, std::string(name_) + ": the pane reads as the pieces in order");
    long start = 0;
    for (const Piece& piece : pieces_) {
      const long length = static_cast<long>(std::string(LoadText(piece.id)).size());
      m_richText.SetSel(start, start + length);
      CHARFORMATA format = {};
      const DWORD same = m_richText.GetSelectionCharFormat(format);
      const std::string what = std::string(name_) + ": piece " + std::to_string(piece.id);
      Check((same & FORMAT_MASK) == FORMAT_MASK, what + " has one format throughout");
      Check((format.dwEffects & OTHER_EFFECTS) == 0, what + " is not italic, underlined or struck out");
      if (piece.formatted) {
        Check(((format.dwEffects & CFE_BOLD) != 0) == piece.bold, what + (piece.bold ? " is bold" : " is regular"));
        Check((format.dwEffects & CFE_AUTOCOLOR) == 0 && format.crTextColor == piece.colour,
              what + " has its colour");
        Check(format.yHeight == piece.height, what + " has its height");
      } else {
        Check((format.dwEffects & CFE_BOLD) == 0, what + " is regular");
        Check((format.dwEffects & CFE_AUTOCOLOR) == (initial.dwEffects & CFE_AUTOCOLOR) &&
                  format.crTextColor == initial.crTextColor,
              what + " has the pane's initial colour");
        Check(format.yHeight == initial.yHeight, what + " has the pane's initial height");
      }
      start += length;
    }
  }

  const char* name_;
  void (*fill_)(CRichEditCtrl&);
  const std::vector<Piece>& pieces_;
  CRichEditCtrl m_richText;
};

class ProgressDlg : public CDialog {
 public:
  ProgressDlg() : CDialog(IDD_PROGRESS) {}

 protected:
  void DoDataExchange(CDataExchange* pDX) override {
    DDX_Control(pDX, IDC_PROGRESS_BOTTOM, m_progressBottom);
    DDX_Control(pDX, IDC_PROGRESS_TOP, m_progressTop);
  }
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    m_progressBottom.SetRange32(0, 123456);
    m_progressBottom.SetPos(100000);
    int lower = -1;
    int upper = -1;
    m_progressBottom.GetRange(lower, upper);
    Check(lower == 0 && upper == 123456, "progress: the range set is the range read");
    Check(m_progressBottom.GetPos() == 100000, "progress: the position set is the position read");
    Check(m_progressTop.GetPos() == 0, "progress: the other bar is untouched");
    // The worker ends the page from its own thread.
    AfxBeginThread(&EndFromWorker, this);
    return TRUE;
  }

 private:
  static UINT __cdecl EndFromWorker(LPVOID page) {
    static_cast<ProgressDlg*>(page)->EndDialog(3);
    return 0;
  }

  CProgressCtrl m_progressBottom;
  CProgressCtrl m_progressTop;
};

class FailureDlg : public CDialog {
 public:
  FailureDlg() : CDialog(IDD_TRANSFER_FAILED) {}

 protected:
  void DoDataExchange(CDataExchange* pDX) override {
    DDX_Control(pDX, IDC_FAILURE_ICON, m_iconStatic);
    DDX_Control(pDX, IDC_RESTART_CHECK, m_restartCheck);
  }
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    HICON exclamation = LoadIconA(nullptr, MAKEINTRESOURCEA(32515));  // IDI_EXCLAMATION
    Check(m_iconStatic.SetIcon(exclamation) != nullptr, "failure dialog: icon 128 was there to replace");
    Check(reinterpret_cast<HICON>(m_iconStatic.SendMessage(STM_GETICON)) == exclamation,
          "failure dialog: the exclamation icon is shown");
    Check((m_restartCheck.GetState() & 3) == 0, "failure dialog: the box starts unticked");
    m_restartCheck.SendMessage(BM_SETCHECK, BST_CHECKED);
    Check((m_restartCheck.GetState() & 3) != 0, "failure dialog: a ticked box reads as ticked");
    EndDialog(100001);
    return TRUE;
  }

 private:
  CStatic m_iconStatic;
  CButton m_restartCheck;
};

}  // namespace

int main() {
  Check(AfxInitRichEdit() != FALSE, "the rich-edit class is available");
  InitCommonControls();

  FillDlg first("welcome", IDD_WELCOME, &FillWelcomeText, WELCOME);
  Check(first.DoModal() == IDOK, "welcome: the page ran");
  FillDlg second("welcome again", IDD_WELCOME, &FillWelcomeText, WELCOME);
  second.DoModal();
  Check(!first.text.empty() && first.text == second.text, "welcome: a second page holds the text once");

  FillDlg("step 2", IDD_ENTER_DOWNLOADER, &FillEnterDownloaderText, ENTER_DOWNLOADER).DoModal();
  FillDlg("step 3", IDD_UPDATE, &FillUpdateText, UPDATE).DoModal();
  FillDlg("final", IDD_FINISH, &FillFinishText, FINISH).DoModal();
  FillDlg("transfer failed", IDD_TRANSFER_FAILED, &FillTransferFailedText, TRANSFER_FAILED).DoModal();
  FillDlg("connect failed", IDD_CONNECT_FAILED, &FillConnectFailedText, CONNECT_FAILED).DoModal();

  Check(ProgressDlg().DoModal() == 3, "progress: a worker thread's EndDialog ends the run with its result");
  Check(FailureDlg().DoModal() == 100001, "failure dialog: EndDialog gives any result");

  std::printf("%s\n", failures ? "FAILED" : "all passed");
  return failures ? 1 : 0;
}
