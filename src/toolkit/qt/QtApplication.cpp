#include "toolkit/qt/QtApplication.h"

#include <QApplication>

#include "Version.h"
#include "toolkit/WindowApplication.h"
#include "toolkit/qt/Icons.h"
#include "toolkit/qt/QtDialog.h"

namespace vandrelux::platform {

int RunQtApplication(int argc, char** argv, const std::function<int()>& body) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vandrelux"));
    QApplication::setApplicationVersion(
        QString::fromLatin1(kVersion.data(), static_cast<qsizetype>(kVersion.size())));
    QApplication::setWindowIcon(qt::AppIcon());
    // Quitting would end every modal loop still to come, and the dialogs are all there is.
    QApplication::setQuitOnLastWindowClosed(false);
    return body();
}

void PrepareStandardStreams() {}

int RunWindowApplication(int argc, char** argv, const std::function<int(IDialogFactory&)>& body) {
    return RunQtApplication(argc, argv, [&] {
        QtDialogFactory factory;
        return body(factory);
    });
}

}  // namespace vandrelux::platform
