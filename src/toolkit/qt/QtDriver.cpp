#include "toolkit/qt/QtDriver.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <memory>

namespace vandrelux::platform::qtdriver {

namespace {

QAction* FindAction(const QList<QAction*>& actions, int command) {
    for (QAction* action : actions) {
        if (action->data().isValid() && action->data().toInt() == command) {
            return action;
        }
    }
    return nullptr;
}

}  // namespace

void Click(QtDialogWindow& window, ControlId id) {
    QWidget* widget = window.ControlWidget(id);
    if (widget == nullptr) {
        return;
    }
    QPoint at = widget->rect().center();
    if (auto* box = qobject_cast<QCheckBox*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(box);
        at = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box).center();
    }
    QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, at);
}

void PressKey(QtDialogWindow& window, Key key) {
    QWidget* target = QApplication::focusWidget();
    if (target == nullptr || target->window() != window.Widget()) {
        target = window.Widget();
    }
    switch (key) {
        case Key::Enter:
            QTest::keyClick(target, Qt::Key_Return);
            break;
        case Key::Escape:
            QTest::keyClick(target, Qt::Key_Escape);
            break;
        case Key::Tab:
            QTest::keyClick(target, Qt::Key_Tab);
            break;
        case Key::Space:
            QTest::keyClick(target, Qt::Key_Space);
            break;
        case Key::AltSpace:
            QTest::keyClick(target, Qt::Key_Space, Qt::AltModifier);
            break;
    }
}

void RequestClose(QtDialogWindow& window) {
    window.Widget()->close();
}

bool ClickToolbarButton(QtDialogWindow& window, int commandId) {
    QToolBar* bar = window.Toolbar();
    QAction* action = bar == nullptr ? nullptr : FindAction(bar->actions(), commandId);
    QWidget* button = action == nullptr ? nullptr : bar->widgetForAction(action);
    if (button == nullptr) {
        return false;
    }
    QTest::mouseClick(button, Qt::LeftButton);
    return true;
}

bool ChooseSystemMenuItem(QtDialogWindow& window, unsigned commandId) {
    QMenu* menu = window.SystemMenu();
    QAction* action =
        menu == nullptr ? nullptr : FindAction(menu->actions(), static_cast<int>(commandId));
    if (action == nullptr) {
        return false;
    }
    action->trigger();
    return true;
}

ControlId FocusedControl(const QtDialogWindow& window) {
    // An editable combo box's own line edit holds the focus for it.
    for (const QWidget* w = window.Widget()->focusWidget(); w != nullptr; w = w->parentWidget()) {
        const ControlId id = window.ControlIdOf(w);
        if (id != kNoId) {
            return id;
        }
    }
    return kNoId;
}

std::optional<std::pair<std::string, std::string>> ToolbarTips(const QtDialogWindow& window,
                                                               int commandId) {
    QToolBar* bar = window.Toolbar();
    const QAction* action = bar == nullptr ? nullptr : FindAction(bar->actions(), commandId);
    if (action == nullptr) {
        return std::nullopt;
    }
    return std::pair{action->toolTip().toStdString(), action->statusTip().toStdString()};
}

ProgressState Progress(const QtDialogWindow& window, ControlId id) {
    const auto* bar = qobject_cast<const QProgressBar*>(window.ControlWidget(id));
    return bar == nullptr ? ProgressState{}
                          : ProgressState{bar->minimum(), bar->maximum(), bar->value()};
}

bool IsShown(const QtDialogWindow& window, ControlId id) {
    const QWidget* widget = window.ControlWidget(id);
    return widget != nullptr && widget->isVisibleTo(window.Widget());
}

bool IsOpen(const QtDialogWindow& window) {
    return window.Widget()->isVisible();
}

std::string Title(const QtDialogWindow& window) {
    return window.Widget()->windowTitle().toStdString();
}

void ProcessEvents(std::chrono::milliseconds duration) {
    // QTest::qWait sleeps between rounds, which starves fast timers.
    QEventLoop loop;
    QTimer::singleShot(duration, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

int RunScripted(QtDialogWindow& window, IDialogHandler& handler,
                const std::function<void()>& script, int resultIfStillOpen) {
    QDialog* dialog = window.Widget();
    // An initialisation that runs a modal loop of its own (a wait, a box) comes before the dialog
    // is shown: the script waits for it to be shown, whichever loop comes round first.
    QTimer shown;
    QObject::connect(&shown, &QTimer::timeout, dialog,
                     [&window, dialog, &script, resultIfStillOpen, &shown] {
                         if (!dialog->isVisible()) {
                             return;
                         }
                         shown.stop();
                         static_cast<void>(QTest::qWaitForWindowActive(dialog));
                         script();
                         if (dialog->isVisible()) {
                             window.EndDialog(resultIfStillOpen);
                         }
                     });
    shown.start(5);
    return window.RunModal(handler);
}

bool MessageBoxIsUp() {
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
}

void DismissNextModal(std::function<void(const ModalSeen&)> seen,
                      std::optional<std::string> fileName) {
    auto* poll = new QTimer(qApp);
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    QObject::connect(
        poll, &QTimer::timeout, poll,
        [poll, started, seen = std::move(seen), fileName = std::move(fileName)] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                if (seen) {
                    seen(ModalSeen{box->windowTitle().toStdString(), box->text().toStdString(),
                                   box->icon() == QMessageBox::Critical, false});
                }
                box->reject();
            } else if (auto* picker = qobject_cast<QFileDialog*>(modal)) {
                if (seen) {
                    seen(ModalSeen{picker->windowTitle().toStdString(), {}, false, true});
                }
                if (fileName) {
                    picker->selectFile(QFile::decodeName(fileName->c_str()));
                    static_cast<QDialog*>(picker)->accept();
                } else {
                    picker->reject();
                }
            } else if (started->elapsed() < 5000) {
                return;
            }
            poll->stop();
            poll->deleteLater();
        });
    poll->start(5);
}

}  // namespace vandrelux::platform::qtdriver
