#pragma once
// The module's main screen in this process (offscreen), against a fiscal-server on loopback,
// loaded and on the tab "Cliente": where the benchmarks that drive the screen start.
//
//   bench::MainScreen screen(server.port(), db);
//   Grid *grid = screen.form()->dbgCliente;

#include <QMainWindow>

#include <cstdint>
#include <string>

namespace fiscal::ger10200 {
class TfrmParamGrupFiscal;
}

namespace fiscal::bench {

class MainScreen {
public:
    // Throws when the screen has not loaded within ten minutes.
    MainScreen(std::uint16_t port, const std::string &db);
    ~MainScreen();
    MainScreen(const MainScreen &) = delete;
    MainScreen &operator=(const MainScreen &) = delete;

    ger10200::TfrmParamGrupFiscal *form() const { return m_form; }
    QMainWindow &window() { return m_window; }

private:
    QMainWindow m_window;
    ger10200::TfrmParamGrupFiscal *m_form = nullptr;
};

} // namespace fiscal::bench
