// The common and rich-edit controls of the framework slice.
#pragma once

#include <windows.h>

#include <commctrl.h>
#include <richedit.h>

#include "afxwin.h"

class CProgressCtrl : public CWnd {
 public:
  void SetRange32(int lower, int upper);
  void GetRange(int& lower, int& upper);
  int SetPos(int position);
  int GetPos();
};

// A rich-edit control of class RICHEDIT; formats are the control's CHARFORMAT record.
class CRichEditCtrl : public CWnd {
 public:
  // Fills format with the selection's format; returns the mask of attributes that are
  // the same over the whole selection.
  DWORD GetSelectionCharFormat(CHARFORMATA& format);
  BOOL SetSelectionCharFormat(CHARFORMATA& format);
  int GetLineCount();
  // The character index of a line's first character (-1: the line of the caret).
  int LineIndex(int line = -1);
  void SetSel(long start, long end);
  void ReplaceSel(LPCSTR text, BOOL canUndo = FALSE);
};
