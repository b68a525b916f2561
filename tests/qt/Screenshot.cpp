// Renders a dialog, empty, as a PNG: qt_screenshot OUT.png [main|collapsed|port|about]
// The main dialog is shown with its toolbar, expanded or collapsed to its left part.
#include <cstdio>
#include <string>

#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/QtDialog.h"
#include "toolkit/qt/QtDriver.h"
#include "ui/CollapsibleDlg.h"
#include "ui/Templates.h"

int main(int argc, char** argv) {
    const std::string which = argc >= 3 ? argv[2] : "main";
    if (argc < 2 || argc > 3 ||
        (which != "main" && which != "collapsed" && which != "port" && which != "about")) {
        std::fprintf(stderr, "usage: %s OUT.png [main|collapsed|port|about]\n", argv[0]);
        return 2;
    }
    const std::string out = argv[1];
    return vandrelux::platform::RunQtApplication(argc, argv, [&] {
        using namespace vandrelux;
        platform::QtDialogWindow window(which == "port"    ? ui::PortSettingsTemplate()
                                        : which == "about" ? ui::AboutTemplate()
                                                           : ui::MainDialogTemplate());
        const bool main = which == "main" || which == "collapsed";
        if (main) {
            static_cast<void>(window.CreateToolbar(ui::MainToolbarTemplate(), 6, 4, 385, 50));
        }
        ui::CCollapsibleDlg collapsible(window, 1055, 1054, "Show >>", "Hide <<", true);
        platform::IDialogHandler handler;
        bool saved = false;
        platform::qtdriver::RunScripted(window, handler, [&] {
            if (main) {
                collapsible.InitCollapsible();
                collapsible.SetExpanded(which == "main");
            }
            platform::qtdriver::ProcessEvents(std::chrono::milliseconds(50));
            saved = window.SaveScreenshot(out);
        });
        return saved ? 0 : 1;
    });
}
