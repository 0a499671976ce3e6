#include "confirm_cancel.h"

#include "string_table.h"

BOOL ConfirmCancel(CWnd& page) {
  CString text;
  CString caption;
  text.LoadString(IDS_CONFIRM_CANCEL);
  caption.LoadString(IDS_CANCEL_CAPTION);
  return page.MessageBox(text, caption, MB_YESNO | MB_ICONEXCLAMATION) == IDYES;
}
