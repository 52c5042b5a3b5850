// erp-host as a process: loads a module, calls its IniProc, waits for the screen and saves
// a picture of its main window.
#include "qtprint.h"

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct HostRun {
    int code = -1;
    QString err;
};

HostRun runHost(const QStringList &args, const QMap<QString, QString> &env = {})
{
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (auto it = env.begin(); it != env.end(); ++it) {
        e.insert(it.key(), it.value());
    }
    p.setProcessEnvironment(e);
    p.start(QStringLiteral(ERP_HOST_EXE), args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return {-2, QStringLiteral("timeout")};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardError())};
}

TEST(ErpHost, ScreenshotOfTheModuleScreen)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Case {
        QStringList args;
        QMap<QString, QString> env;
        int code;
        bool picture;
    };
    const QString shot = dir.filePath(QStringLiteral("shot.png"));
    const QString ini = dir.filePath(QStringLiteral("host.ini"));
    {
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[server]\nurl=http://10.1.2.3:7000\n[modules]\npath=" FAKE_MODULE "\n");
    }
    const Case cases[] = {
        // module from the command line
        {{QStringLiteral("--module"), QStringLiteral(FAKE_MODULE), QStringLiteral("--server"),
          QStringLiteral("http://127.0.0.1:9"), QStringLiteral("--screenshot"), shot}, {}, 0, true},
        // module and server from the settings file, server overridden by the environment
        {{QStringLiteral("--config"), ini, QStringLiteral("--screenshot"), shot},
         {{QStringLiteral("FISCAL_SERVER"), QStringLiteral("http://127.0.0.1:9")}}, 0, true},
        // no module: nothing to show, a clear failure
        {{QStringLiteral("--module"), dir.filePath(QStringLiteral("nada.so")), QStringLiteral("--screenshot"), shot}, {}, 1, false},
        // a library without IniProc
        {{QStringLiteral("--module"), QStringLiteral(NOT_A_MODULE), QStringLiteral("--screenshot"), shot}, {}, 1, false},
        {{QStringLiteral("--server"), QStringLiteral("ftp://x")}, {}, 2, false},
        {{QStringLiteral("--config"), dir.filePath(QStringLiteral("falta.ini"))}, {}, 2, false},
    };
    for (const Case &c : cases) {
        QFile::remove(shot);
        const HostRun r = runHost(c.args, c.env);
        EXPECT_EQ(r.code, c.code) << c.args.join(' ').toStdString() << "\n" << r.err.toStdString();
        EXPECT_EQ(QFile::exists(shot), c.picture) << c.args.join(' ').toStdString();
        if (c.picture) {
            const QImage image(shot);
            EXPECT_GT(image.width(), 100);
        }
    }
}

} // namespace
