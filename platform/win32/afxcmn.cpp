#include "afxcmn.h"

#ifndef _WIN64
static_assert(sizeof(PBRANGE) == 8, "the progress bar's range record");
static_assert(sizeof(CHARFORMATA) == 60, "the rich-edit control's format record of a 32-bit process");
#endif

void CProgressCtrl::SetRange32(int lower, int upper) {
  SendMessage(PBM_SETRANGE32, static_cast<WPARAM>(lower), static_cast<LPARAM>(upper));
}

void CProgressCtrl::GetRange(int& lower, int& upper) {
  PBRANGE range = {};
  SendMessage(PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  lower = range.iLow;
  upper = range.iHigh;
}

int CProgressCtrl::SetPos(int position) {
  return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(position), 0));
}

int CProgressCtrl::GetPos() { return static_cast<int>(SendMessage(PBM_GETPOS, 0, 0)); }

DWORD CRichEditCtrl::GetSelectionCharFormat(CHARFORMATA& format) {
  format.cbSize = sizeof(format);
  return static_cast<DWORD>(SendMessage(EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format)));
}

BOOL CRichEditCtrl::SetSelectionCharFormat(CHARFORMATA& format) {
  format.cbSize = sizeof(format);
  return static_cast<BOOL>(SendMessage(EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format)));
}

int CRichEditCtrl::GetLineCount() { return static_cast<int>(SendMessage(EM_GETLINECOUNT, 0, 0)); }

int CRichEditCtrl::LineIndex(int line) {
  return static_cast<int>(SendMessage(EM_LINEINDEX, static_cast<WPARAM>(line), 0));
}

void CRichEditCtrl::SetSel(long start, long end) {
  SendMessage(EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end));
}

void CRichEditCtrl::ReplaceSel(LPCSTR text, BOOL canUndo) {
  SendMessage(EM_REPLACESEL, static_cast<WPARAM>(canUndo), reinterpret_cast<LPARAM>(text));
}
