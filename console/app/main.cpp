// palmdesk: the wireless glove's console.
//   palmdesk [--port PATH]... [--connect] [--stream] [--verbose]
// --port offers PATH in the port list (pseudo-terminals are not in the system's list);
// --connect opens the first port of the list at start-up, --stream then starts streaming.

#include "app/mocapconsole.hpp"
#include "link/glovelink.hpp"
#include "worker/mocapglovestate.hpp"

#include <QApplication>
#include <QCommandLineParser>
#include <QPushButton>
#include <QTimer>
#include <memory>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("palmdesk"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Console of the wireless data glove"));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Offer PATH in the serial port list."),
                                  QStringLiteral("PATH"));
    const QCommandLineOption connect(QStringLiteral("connect"),
                                     QStringLiteral("Connect to the first listed port at start."));
    const QCommandLineOption stream(QStringLiteral("stream"),
                                    QStringLiteral("Start streaming once connected."));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Debug log on standard error."));
    parser.addOptions({port, connect, stream, verbose});
    parser.process(app);
    if (parser.isSet(verbose)) {
        GloveLink::setDebugLog(true);
    }

    auto window = std::make_unique<MoCapConsole>(parser.values(port));
    window->show();
    if (parser.isSet(connect)) {
        QTimer::singleShot(0, window.get(), [w = window.get()] {
            w->findChild<QPushButton*>(QStringLiteral("serialConnectPB"))->click();
        });
    }
    if (parser.isSet(stream)) {
        MocapGloveState* state = MocapGloveState::instance();
        // After the file list that follows every connect: one request slot, so starting
        // earlier would replace that request.
        auto started = std::make_shared<bool>(false);
        QObject::connect(state, &MocapGloveState::fileList, window.get(), [state, started](void*) {
            if (!*started && state->connected()) {
                *started = true;
                state->startStreaming();
            }
        });
    }
    const int code = app.exec();
    window.reset();
    return code;
}
