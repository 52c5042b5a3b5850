#pragma once
// Masked edit box: a TCustomEdit that understands edit masks (editmask.h).
//
//   EditMask()/setEditMask("99;0; ")   empty mask = plain box (MaxLength, CharCase apply)
//   Text()                              the stored text: characters typed in the mask's
//                                       positions, blanks dropped, literals only when the
//                                       mask stores them ("99;0; " with "1" typed -> "1")
//   setText(stored)                     shows the stored text through the mask
//   IsEmpty()                           true while no position of the mask is filled
//   EditText()                          what the box shows, blanks and literals included
// OnChange, OnEnter, OnExit, OnKeyPress, OnKeyDown as for every box (edit.h).

#include "vcl/edit.h"
#include "vcl/editmask.h"

namespace fiscal::vcl {

class TMaskEdit : public TCustomEdit {
    Q_OBJECT
public:
    explicit TMaskEdit(QWidget *parent = nullptr);

    QString EditMask() const { return m_maskText; }
    void setEditMask(const QString &mask);

    QString Text() const override;
    void setText(const QString &text) override;
    bool IsEmpty() const override;
    QString EditText() const { return displayText(); }

private:
    QString m_maskText;
    fiscal::vcl::EditMask m_mask;
};

} // namespace fiscal::vcl
