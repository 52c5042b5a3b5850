#pragma once
// A real server on 127.0.0.1:0 with a few test methods, for the server and client tests.

#include "rawhttp.h"

#include "rpc/client.h"
#include "rpc/dispatcher.h"
#include "rpc/httpserver.h"

#include <QCborMap>
#include <QCborStreamReader>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <random>
#include <thread>

namespace rpctest {

using namespace fiscal::rpc;
using fiscal::dataset::ValueWriter;

inline const QString kObject = QStringLiteral("Test.rdmEcho");

inline void writeValue(ValueWriter &w, const QCborValue &v)
{
    switch (v.type()) {
    case QCborValue::Array:
        w.startArray();
        for (const QCborValue &e : v.toArray())
            writeValue(w, e);
        w.endArray();
        break;
    case QCborValue::Map:
        w.startMap();
        for (auto it = v.toMap().cbegin(); it != v.toMap().cend(); ++it) {
            const QByteArray k = it.key().toString().toUtf8();
            w.key(std::string_view(k.constData(), size_t(k.size())));
            writeValue(w, it.value());
        }
        w.endMap();
        break;
    case QCborValue::String:
        w.string(v.toString());
        break;
    case QCborValue::Integer:
        w.integer(v.toInteger());
        break;
    case QCborValue::True:
    case QCborValue::False:
        w.boolean(v.toBool());
        break;
    default:
        w.null();
    }
}

// A method that blocks until the test lets it go, so that "a call under way" is a fact and
// not a matter of timing.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    int entered = 0;
    bool open = false;

    void pass()
    {
        std::unique_lock lock(m);
        ++entered;
        cv.notify_all();
        cv.wait(lock, [this] { return open; });
    }
    bool waitEntered(int n)
    {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return entered >= n; });
    }
    void release()
    {
        std::lock_guard lock(m);
        open = true;
        cv.notify_all();
    }
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string obj = kObject.toStdString();
        dispatcher.add(obj, "Echo", [](const QCborArray &params, ValueWriter &w) {
            writeValue(w, params);
        });
        dispatcher.add(obj, "Big", [](const QCborArray &params, ValueWriter &w) {
            const qint64 n = params.at(0).toInteger();
            w.startArray();
            for (qint64 i = 0; i < n; ++i) {
                w.startArray();
                w.string(QStringLiteral("%1").arg(i, 6, 10, QLatin1Char('0')));
                w.string(std::string_view("Descrição do grupo fiscal"));
                w.null();
                w.endArray();
            }
            w.endArray();
        });
        dispatcher.add(obj, "Fail", [](const QCborArray &, ValueWriter &w) {
            w.startArray();   // half a result must not leak into the reply
            throw Fault(code::NotFound, QStringLiteral("Grupo fiscal não cadastrado."),
                        QCborMap{{QStringLiteral("table"), QStringLiteral("GRUPOFISCAL")}});
        });
        dispatcher.add(obj, "Crash", [](const QCborArray &, ValueWriter &) {
            throw std::runtime_error("secret detail of the crash");
        });
        dispatcher.add(obj, "Nothing", [](const QCborArray &, ValueWriter &) {});
        dispatcher.add(obj, "Gated", [this](const QCborArray &, ValueWriter &w) {
            gate.pass();
            w.string(std::string_view("done"));
        });
    }

    void TearDown() override
    {
        gate.release();
        if (server)
            server->stop();
    }

    void startServer(ServerOptions options = {})
    {
        options.maxBodyBytes = options.maxBodyBytes == ServerOptions{}.maxBodyBytes
                                   ? 1024 * 1024
                                   : options.maxBodyBytes;
        server = std::make_unique<HttpServer>(dispatcher, options);
        server->start();
        port = server->port();
        ASSERT_NE(port, 0);
    }

    Dispatcher dispatcher;
    Gate gate;
    std::unique_ptr<HttpServer> server;
    quint16 port = 0;
};

inline QCborValue cborErrorCode(const std::string &body)
{
    return QCborValue::fromCbor(QByteArray::fromStdString(body))
        .toMap()
        .value(QLatin1String("error"))
        .toMap()
        .value(QLatin1String("code"));
}

// The JSON-RPC error code of an HTTP answer in either encoding; 0 when there is none.
inline int errorCodeOf(const rawhttp::Response &res)
{
    const auto type = res.headers.find("content-type");
    if (type != res.headers.end() && type->second == "application/cbor")
        return int(cborErrorCode(res.body).toInteger());
    return rawhttp::jsonErrorCode(res.body);
}

inline std::string jsonCall(const std::string &method, const std::string &params = "[]")
{
    return R"({"jsonrpc":"2.0","method":")" + method + R"(","params":)" + params + R"(,"id":1})";
}

} // namespace rpctest
