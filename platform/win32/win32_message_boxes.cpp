#include "win32_message_boxes.h"

#include "afxwin.h"

void AfxMessageBoxes::ShowOk(const std::string& text) { AfxMessageBox(text.c_str(), MB_OK); }
