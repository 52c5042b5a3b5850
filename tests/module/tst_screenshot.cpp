// erp-host --screenshot with the real module and server: a chosen tab, a dialog drawn over
// the main screen, and a clear refusal of a dialog whose command the tab does not offer or
// that the module does not have.

#include "modulefixture.h"

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

namespace fiscal::test {
namespace {

class ScreenshotTest : public ModuleTest {
protected:
    struct Run {
        int code = -1;
        QString err;
    };

    Run host(const QStringList &extra, const QString &shot)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(ERP_HOST_EXE),
                QStringList{QStringLiteral("--module"), QStringLiteral(MODULE_LIBRARY), QStringLiteral("--server"),
                            QStringLiteral("http://127.0.0.1:%1").arg(server->port()), QStringLiteral("--db"),
                            QString::fromStdString(db->url()), QStringLiteral("--screenshot"), shot}
                    + extra);
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            return {-2, QStringLiteral("timeout")};
        }
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardError())};
    }
};

TEST_F(ScreenshotTest, TabsAndDialogsCanBeShownWithoutADisplay)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Case {
        QStringList args;
        int code;
        const char *says;   // part of the error output
    };
    const Case cases[] = {
        {{}, 0, ""},
        {{QStringLiteral("--tab"), QStringLiteral("3")}, 0, ""},
        {{QStringLiteral("--dialog"), QStringLiteral("automatico")}, 0, ""},
        {{QStringLiteral("--dialog"), QStringLiteral("replica")}, 0, ""},
        {{QStringLiteral("--dialog"), QStringLiteral("impinscesta")}, 0, ""},
        // The import preview of a sample made from the suppliers on screen.
        {{QStringLiteral("--dialog"), QStringLiteral("importar")}, 0, ""},
        // The interstate tab has no automatic registration.
        {{QStringLiteral("--tab"), QStringLiteral("6"), QStringLiteral("--dialog"), QStringLiteral("automatico")},
         1, "não está disponível"},
        // Names the module does not offer: refused with those it does, nothing saved.
        {{QStringLiteral("--dialog"), QStringLiteral("nenhuma")}, 1,
         "janela desconhecida: nenhuma (use automatico, replica, impinscesta, historico, operacoes, situacao, importar)"},
        {{QStringLiteral("--window"), QStringLiteral("nenhuma")}, 1, "janela desconhecida: nenhuma (use cobertura, ajuda)"},
    };
    QList<QImage> pictures;
    for (const Case &c : cases) {
        const QString name = c.args.join(' ');
        SCOPED_TRACE(name.toStdString());
        const QString shot = dir.filePath(QStringLiteral("shot%1.png").arg(pictures.size()));
        const Run r = host(c.args, shot);
        EXPECT_EQ(r.code, c.code) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.says))) << r.err.toStdString();
        pictures << QImage(shot);
        EXPECT_EQ(pictures.last().isNull(), c.code != 0);
    }
    // The first tab, the third one, the first one with its dialog over it and the last one
    // with each of its two dialogs over it all differ.
    EXPECT_NE(pictures[0], pictures[1]);
    EXPECT_NE(pictures[0], pictures[2]);
    EXPECT_NE(pictures[2], pictures[3]);
    EXPECT_NE(pictures[3], pictures[4]);
    EXPECT_NE(pictures[2], pictures[5]);
    EXPECT_EQ(pictures[0].size(), pictures[2].size());
}

} // namespace
} // namespace fiscal::test
