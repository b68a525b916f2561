#include "platform/qt/QtApplication.h"

#include <QApplication>

#include "platform/qt/Icons.h"

namespace vandrelux::platform {

int RunQtApplication(int argc, char** argv, const std::function<int()>& body) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vandrelux"));
    QApplication::setApplicationVersion(QStringLiteral("2.5"));
    QApplication::setWindowIcon(qt::AppIcon());
    // Quitting would end every modal loop still to come, and the dialogs are all there is.
    QApplication::setQuitOnLastWindowClosed(false);
    return body();
}

}  // namespace vandrelux::platform
