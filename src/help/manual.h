#pragma once
// A manual: HTML pages a module ships as Qt resources under ":/help/<name>/", described by
// ":/help/<name>/manual.json":
//
//   {"title": "Parâmetros de Grupo Fiscal",
//    "pages": [{"id": "fornecedor", "title": "Fornecedor", "file": "fornecedor.html",
//               "level": 1, "keywords": ["GER10200"], "contexts": [12400502]}, ...]}
//
// Pages are listed in the order of the table of contents; `level` (0 = top) nests them.
// A page is found by its id, by one of its keywords (screen codes, class names; without
// regard to case) or by a help context number.

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace fiscal::help {

struct ManualPage {
    QString id;
    QString title;
    QString file;
    int level = 0;
    QStringList keywords;
    QList<int> contexts;
};

class Manual {
public:
    // Every manual the loaded modules ship, by name.
    static QList<Manual> all();
    // The manual under that resource folder; an invalid one when it is missing or unreadable.
    static Manual load(const QString &name);

    bool isValid() const { return !m_pages.isEmpty(); }
    QString name() const { return m_name; }
    QString title() const { return m_title; }
    const QList<ManualPage> &pages() const { return m_pages; }

    const ManualPage *page(const QString &id) const;
    const ManualPage *pageForKeyword(const QString &keyword) const;
    const ManualPage *pageForContext(int context) const;
    // The page a URL shown by the viewer belongs to.
    const ManualPage *pageForUrl(const QUrl &url) const;
    QUrl url(const ManualPage &page) const;

    // Pages holding every word of `words` (case and accents ignored), most hits first.
    QStringList search(const QString &words) const;
    // The text of a page as a reader sees it.
    QString plainText(const ManualPage &page) const;

private:
    QString m_name;
    QString m_title;
    QList<ManualPage> m_pages;
};

// Lower case without accents: "Inscrição" -> "inscricao".
QString foldForSearch(const QString &text);

} // namespace fiscal::help
