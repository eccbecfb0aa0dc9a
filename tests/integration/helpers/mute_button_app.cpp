// A stand-in meeting client: one window with a microphone button that reads "Mute" while the
// microphone is on and "Unmute" while it is off, as the toolkit exposes it over AT-SPI2.
// A participant whose name reads "Unmute" comes first, as text, to show that only controls
// are taken for the button. Each line "toggle" on standard input clicks it; it prints "ready" once
// shown and the button's name after each click.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSocketNotifier>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("Meeting");
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel("Unmute", &window));
    auto* leave = new QPushButton("Leave", &window);
    leave->setAccessibleName("Leave");
    auto* mute = new QPushButton("Mute", &window);
    mute->setCheckable(true);
    mute->setAccessibleName("Mute");
    layout->addWidget(leave);
    layout->addWidget(mute);
    QObject::connect(mute, &QPushButton::toggled, [mute](bool muted) {
        const char* name = muted ? "Unmute" : "Mute";
        mute->setText(name);
        mute->setAccessibleName(name);
        std::printf("%s\n", name);
        std::fflush(stdout);
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char line[64];
        ssize_t n = ::read(STDIN_FILENO, line, sizeof line);
        if (n <= 0) {
            QApplication::quit();
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (line[i] == '\n')
                mute->click();
        }
    });

    window.show();
    std::printf("ready\n");
    std::fflush(stdout);
    return QApplication::exec();
}
