// The instruction texts of the wizard's pages: each page's rich-text pane is filled
// from string-table entries, piece by piece, each in its own weight, colour and height.
#pragma once

#include "afxcmn.h"

constexpr COLORREF PANE_RED = 0x0000FF;
constexpr COLORREF PANE_GREY = 0x646464;
constexpr LONG PANE_HEIGHT = 240;       // twips: 12 point
constexpr LONG PANE_NOTE_HEIGHT = 300;  // twips: 15 point, the step-2 page's note

// Appends text after everything in the pane, bold or regular, in the colour and
// height given; text appended later without a format gets the format in force before.
void AppendRichText(CRichEditCtrl& pane, BOOL bold, COLORREF colour, LONG height, const CString& text);

// The fills of the pages' panes, in the order the pages come.
void FillWelcomeText(CRichEditCtrl& pane);
void FillEnterDownloaderText(CRichEditCtrl& pane);
void FillUpdateText(CRichEditCtrl& pane);
void FillFinishText(CRichEditCtrl& pane);
void FillTransferFailedText(CRichEditCtrl& pane);
void FillConnectFailedText(CRichEditCtrl& pane);
