// The desktop app's windows with test data, as their own process on a real display, for the
// accessibility test to read over the accessibility bus as a screen reader would. Prints
// "ready" once everything is shown, and again after "stop" has ended the meeting; ends on
// "quit" or at the end of its input.
#include "AccessibilityScene.h"

#include <QApplication>
#include <QSocketNotifier>

#include <iostream>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    tallyvox::testing::AccessibilityScene scene;
    if (!scene.stage()) {
        std::cout << "the past search found nothing" << std::endl;
        return 1;
    }

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &application, [&] {
        std::string line;
        if (!std::getline(std::cin, line) || line == "quit") {
            QApplication::quit();
        } else if (line == "stop") {
            scene.finishMeeting();
            std::cout << "ready" << std::endl;
        }
    });
    std::cout << "ready" << std::endl;
    return QApplication::exec();
}
