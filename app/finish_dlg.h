// The final page, and the step-4 page that would lead to it.
#pragma once

#include "afxcmn.h"

// FINISH ends the wizard: the temporary files go and the sync software starts again.
// Esc ends it with nothing else done.
class CFinishDlg : public CDialog {
 public:
  CFinishDlg();

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  void OnFinishClicked();

  CRichEditCtrl m_richText;

  DECLARE_MESSAGE_MAP()
};

// The step-4 page, with its pictures of the device writing the new system: the wizard
// goes from the progress page straight to the final page and does not show it; its
// NEXT leads to the final page.
class CCheckFinishDlg : public CDialog {
 public:
  CCheckFinishDlg();

 protected:
  void OnNextClicked();

  DECLARE_MESSAGE_MAP()
};
