#pragma once
// The find bar of a TDBGrid: "Localizar:", the text to find, previous / next, what the last
// search found, and a button to close it. The grid lays it out right under itself and
// counts it as part of itself: the focus moving into the bar does not leave the grid (no
// exit or enter events), and the grid keeps showing its current row as focused.

#include <QWidget>

class QLabel;
class QLineEdit;
class QToolButton;

namespace fiscal::vcl {

class GridFindBar : public QWidget {
    Q_OBJECT
public:
    explicit GridFindBar(QWidget *parent);

    QLineEdit *edit() const { return m_edit; }
    QString text() const;
    void setStatus(const QString &status);
    QString status() const;

Q_SIGNALS:
    void textEdited(const QString &text);
    void findRequested(bool forward);
    void closeRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLineEdit *m_edit;
    QLabel *m_status;
};

} // namespace fiscal::vcl
