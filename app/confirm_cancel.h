// The question every page asks before it lets the user leave the wizard.
#pragma once

#include "afxwin.h"

// Asks on the page whether to leave the incomplete update; TRUE only for Yes.
BOOL ConfirmCancel(CWnd& page);
