#include "text_panes.h"

#include "string_table.h"

namespace {

// One piece of a pane: a formatted piece goes in with AppendRichText, a plain one is
// handed to the pane as it is, in the format the previous append restored.
struct PanePiece {
  UINT textId;
  bool formatted;
  BOOL bold;
  COLORREF colour;
  LONG height;
};

constexpr PanePiece Formatted(UINT id, BOOL bold, COLORREF colour, LONG height = PANE_HEIGHT) {
  return {id, true, bold, colour, height};
}
constexpr PanePiece Plain(UINT id) { return {id, false, FALSE, 0, 0}; }

template <std::size_t N>
void AppendPieces(CRichEditCtrl& pane, const PanePiece (&pieces)[N]) {
  for (const PanePiece& piece : pieces) {
    CString text;
    text.LoadString(piece.textId);
    if (piece.formatted) {
      AppendRichText(pane, piece.bold, piece.colour, piece.height, text);
    } else {
      pane.ReplaceSel(text, FALSE);
    }
  }
}

// Puts the insertion point past the last line, where appended text goes.
void MoveToEnd(CRichEditCtrl& pane) {
  pane.SetSel(pane.LineIndex(pane.GetLineCount()), -1);
}

}  // namespace

void AppendRichText(CRichEditCtrl& pane, BOOL bold, COLORREF colour, LONG height, const CString& text) {
  CHARFORMATA saved = {};
  pane.GetSelectionCharFormat(saved);
  CHARFORMATA format = saved;
  format.dwMask |= CFM_BOLD;
  if (colour != 0) format.dwMask |= CFM_COLOR;
  if (height != 0) format.dwMask |= CFM_SIZE;
  format.dwEffects = bold ? CFE_BOLD : 0;
  format.crTextColor = colour;
  format.yHeight = height;
  pane.SetSelectionCharFormat(format);
  MoveToEnd(pane);
  pane.ReplaceSel(text, FALSE);
  pane.SetSelectionCharFormat(saved);
}

void FillWelcomeText(CRichEditCtrl& pane) {
  static const PanePiece pieces[] = {
      Formatted(IDS_WELCOME_INTRO, FALSE, 0),
      Formatted(IDS_WELCOME_WARNING, TRUE, PANE_RED),
      Plain(IDS_WELCOME_STEPS),
      Formatted(IDS_WELCOME_BACKUP, TRUE, PANE_RED),
      Plain(IDS_WELCOME_BACKUP_DETAIL),
      Formatted(IDS_WELCOME_POWER, TRUE, PANE_RED),
      Plain(IDS_WELCOME_CLOSE_APPS),
      Plain(IDS_WELCOME_DISK_SPACE),
      Plain(IDS_WELCOME_NO_CARD),
      Formatted(IDS_WELCOME_CONNECTION, TRUE, PANE_RED),
      Plain(IDS_WELCOME_NEXT),
  };
  AppendPieces(pane, pieces);
  MoveToEnd(pane);
}

void FillEnterDownloaderText(CRichEditCtrl& pane) {
  static const PanePiece pieces[] = {
      Formatted(IDS_ENTER_DOWNLOADER_INTRO, FALSE, 0),
      Formatted(IDS_ENTER_DOWNLOADER_FIGURE, TRUE, PANE_RED),
      Formatted(IDS_ENTER_DOWNLOADER_NEXT, FALSE, 0),
      Formatted(IDS_ENTER_DOWNLOADER_NOTE, FALSE, PANE_GREY, PANE_NOTE_HEIGHT),
  };
  AppendPieces(pane, pieces);
}

void FillUpdateText(CRichEditCtrl& pane) {
  static const PanePiece pieces[] = {
      Formatted(IDS_UPDATE_INTRO, FALSE, 0),
      Formatted(IDS_UPDATE_SCREEN, TRUE, PANE_RED),
      Formatted(IDS_UPDATE_NEXT, FALSE, 0),
      Formatted(IDS_UPDATE_NOTE, FALSE, PANE_RED),
  };
  AppendPieces(pane, pieces);
}

void FillFinishText(CRichEditCtrl& pane) {
  static const PanePiece pieces[] = {Formatted(IDS_FINISH_TEXT, FALSE, 0)};
  AppendPieces(pane, pieces);
}

void FillTransferFailedText(CRichEditCtrl& pane) {
  static const PanePiece pieces[] = {Formatted(IDS_TRANSFER_FAILED_TEXT, TRUE, 0)};
  AppendPieces(pane, pieces);
}

void FillConnectFailedText(CRichEditCtrl& pane) {
  static const PanePiece pieces[] = {
      Formatted(IDS_CONNECT_FAILED_TEXT, TRUE, PANE_RED),
      Formatted(IDS_CONNECT_FAILED_HINT, TRUE, 0),
  };
  AppendPieces(pane, pieces);
}
