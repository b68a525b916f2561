#include "toolkit/qt/QtDialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <chrono>
#include <climits>
#include <map>
#include <memory>
#include <thread>
#include <utility>

#include "toolkit/DialogBehaviour.h"
#include "toolkit/WindowCall.h"
#include "toolkit/qt/DialogUnits.h"
#include "toolkit/qt/Icons.h"
#include "toolkit/qt/QtControls.h"

namespace vandrelux::platform {

namespace {

using qt::ToPaneText;
using qt::ToQt;

Rect ScreenRect(const QWidget& widget) {
    const QPoint topLeft = widget.mapToGlobal(QPoint(0, 0));
    return Rect{topLeft.x(), topLeft.y(), topLeft.x() + widget.width(),
                topLeft.y() + widget.height()};
}

// Enter, Esc, the close box and the context menu go to the owner instead of QDialog's defaults.
class DialogWidget final : public QDialog {
public:
    struct Hooks {
        std::function<bool(QKeyEvent&)> key;
        std::function<void()> close;
        std::function<void(QPoint)> contextMenu;
    };

    explicit DialogWidget(Hooks hooks) : m_hooks(std::move(hooks)) {}

    void MoveFocusNext() { focusNextPrevChild(true); }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (!m_hooks.key(*event)) {
            QDialog::keyPressEvent(event);
        }
    }
    void closeEvent(QCloseEvent* event) override {
        // The owner decides; ending the dialog hides it, which is all a close does here.
        event->ignore();
        m_hooks.close();
    }
    void contextMenuEvent(QContextMenuEvent* event) override {
        m_hooks.contextMenu(event->globalPos());
    }

private:
    Hooks m_hooks;
};

// Calls from other threads, run on the window thread when their posted event comes.
class CallQueue final : public QObject {
public:
    WindowCallQueue queue{[this] { QCoreApplication::postEvent(this, new QEvent(QEvent::User)); }};

protected:
    void customEvent(QEvent* /*event*/) override { queue.RunPending(); }
};

struct Control {
    ControlId id = kNoId;
    ControlKind kind = ControlKind::Label;
    QWidget* widget = nullptr;
    bool uppercase = false;
    bool sorted = false;
};

}  // namespace

struct QtDialogWindow::Impl {
    std::unique_ptr<DialogWidget> dialog;
    DialogBehaviour behaviour;
    CallQueue calls;
    qt::BaseUnits units;
    std::vector<Control> controls;
    InsertionCarets carets;
    QToolBar* toolbar = nullptr;
    QMenu* systemMenu = nullptr;
    std::map<unsigned, QTimer*> timers;

    explicit Impl(const DialogTemplate& t);
    void Build();

    [[nodiscard]] const Control* Find(ControlId id) const {
        if (id == kNoId) {
            return nullptr;
        }
        const auto it = std::find_if(controls.begin(), controls.end(),
                                     [id](const Control& c) { return c.id == id; });
        return it == controls.end() ? nullptr : &*it;
    }
    [[nodiscard]] Control* Find(ControlId id) {
        return const_cast<Control*>(std::as_const(*this).Find(id));
    }
    template <class W>
    [[nodiscard]] W* As(ControlId id) const {
        const Control* c = Find(id);
        return c == nullptr ? nullptr : qobject_cast<W*>(c->widget);
    }

    bool Key(QKeyEvent& event);
    [[nodiscard]] std::optional<std::size_t> FocusedControl() const;
    void UpdateTitle();
};

QtDialogWindow::Impl::Impl(const DialogTemplate& t)
    : behaviour(t, [this](int result) { dialog->done(result); }) {
    DialogWidget::Hooks hooks;
    hooks.key = [this](QKeyEvent& event) { return Key(event); };
    hooks.close = [this] { behaviour.Close(); };
    hooks.contextMenu = [this](QPoint at) {
        if (systemMenu != nullptr) {
            systemMenu->popup(at);
        }
    };
    dialog = std::make_unique<DialogWidget>(std::move(hooks));
    Build();
}

void QtDialogWindow::Impl::Build() {
    const DialogTemplate& dialogTemplate = behaviour.Template();
    // A main window gets the minimise box and its own task-bar entry; the others are dialogs.
    Qt::WindowFlags flags = (dialogTemplate.minimizeBox ? Qt::Window : Qt::Dialog) |
                            Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (dialogTemplate.minimizeBox) {
        flags |= Qt::WindowMinimizeButtonHint;
    }
    dialog->setWindowFlags(flags);
    dialog->setWindowTitle(ToQt(dialogTemplate.title));
    if (QApplication::windowIcon().isNull()) {
        dialog->setWindowIcon(qt::AppIcon());
    }
    // Minimised, the window manager shows the window icon; nothing to paint ourselves.

    const QFont font = qt::DialogFont(dialogTemplate);
    dialog->setFont(font);
    units = qt::BaseUnitsOf(font);

    controls.reserve(dialogTemplate.controls.size());
    const auto onClick = [this](ControlId id) { behaviour.Command(id); };
    for (const ControlTemplate& c : dialogTemplate.controls) {
        controls.push_back(Control{c.id, c.kind, qt::MakeControl(*dialog, units, c, onClick),
                                   c.uppercase, c.sorted});
    }
    // Frames and group boxes are drawn behind the controls they surround and let clicks through.
    for (const Control& c : controls) {
        if (c.kind == ControlKind::GroupBox || c.kind == ControlKind::Frame) {
            c.widget->lower();
            c.widget->setAttribute(Qt::WA_TransparentForMouseEvents);
        }
    }

    const Rect client = qt::MapDialogRect(units, 0, 0, dialogTemplate.cx, dialogTemplate.cy);
    dialog->setFixedSize(client.Width(), client.Height());
}

std::optional<std::size_t> QtDialogWindow::Impl::FocusedControl() const {
    const QWidget* focus = dialog->focusWidget();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        if (controls[i].widget == focus) {
            return i;
        }
    }
    return std::nullopt;
}

bool QtDialogWindow::Impl::Key(QKeyEvent& event) {
    const Qt::KeyboardModifiers modifiers = event.modifiers() & ~Qt::KeypadModifier;
    if (modifiers == Qt::NoModifier &&
        (event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter)) {
        behaviour.Command(behaviour.EnterCommand(FocusedControl()));
        return true;
    }
    if (modifiers == Qt::NoModifier && event.key() == Qt::Key_Escape) {
        behaviour.Command(IDCANCEL);
        return true;
    }
    if (modifiers == Qt::AltModifier && event.key() == Qt::Key_Space && systemMenu != nullptr) {
        systemMenu->popup(dialog->mapToGlobal(QPoint(0, 0)));
        return true;
    }
    return false;
}

void QtDialogWindow::Impl::UpdateTitle() {
    dialog->setWindowTitle(ToQt(behaviour.Title()));
}

// ---------------------------------------------------------------------------------------------

QtDialogWindow::QtDialogWindow(const DialogTemplate& dialog)
    : m_impl(std::make_unique<Impl>(dialog)) {}

QtDialogWindow::~QtDialogWindow() = default;

std::string QtDialogWindow::GetText(ControlId id) const {
    const Control* c = m_impl->Find(id);
    if (c == nullptr) {
        return {};
    }
    QWidget* w = c->widget;
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        return button->text().toStdString();
    }
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        return edit->text().toStdString();
    }
    if (auto* pane = qobject_cast<QPlainTextEdit*>(w)) {
        return pane->toPlainText().toStdString();
    }
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
        return combo->currentText().toStdString();
    }
    if (auto* label = qobject_cast<QLabel*>(w)) {
        return label->text().toStdString();
    }
    if (auto* group = qobject_cast<QGroupBox*>(w)) {
        return group->title().toStdString();
    }
    return {};
}

void QtDialogWindow::SetText(ControlId id, std::string_view text) {
    Control* c = m_impl->Find(id);
    if (c == nullptr) {
        return;
    }
    QWidget* w = c->widget;
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        button->setText(ToQt(text));
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->setText(ToQt(text));
        m_impl->carets.TextReplaced(id, static_cast<int>(edit->text().size()));
    } else if (auto* pane = qobject_cast<QPlainTextEdit*>(w)) {
        pane->setPlainText(ToPaneText(text));
        m_impl->carets.TextReplaced(id, TextLength(id));
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
        if (combo->isEditable()) {
            combo->setEditText(ToQt(text));
        } else {
            combo->setCurrentIndex(combo->findText(ToQt(text), Qt::MatchFixedString));
        }
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(ToQt(text));
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
        group->setTitle(ToQt(text));
    }
}

void QtDialogWindow::Enable(ControlId id, bool enable) {
    if (const Control* c = m_impl->Find(id)) {
        c->widget->setEnabled(enable);
    }
}

bool QtDialogWindow::IsEnabled(ControlId id) const {
    const Control* c = m_impl->Find(id);
    // The control's own state, whatever its window's.
    return c != nullptr && !c->widget->testAttribute(Qt::WA_Disabled);
}

bool QtDialogWindow::IsChecked(ControlId id) const {
    const auto* box = m_impl->As<QCheckBox>(id);
    return box != nullptr && box->isChecked();
}

void QtDialogWindow::SetChecked(ControlId id, bool checked) {
    if (auto* box = m_impl->As<QCheckBox>(id)) {
        box->setChecked(checked);
    }
}

std::vector<ChildWindow> QtDialogWindow::ChildWindowsInZOrder() const {
    std::vector<ChildWindow> children;
    children.reserve(m_impl->controls.size() + 1);
    for (const Control& c : m_impl->controls) {
        children.push_back(ChildWindow{c.id, ScreenRect(*c.widget)});
    }
    if (m_impl->toolbar != nullptr) {
        children.push_back(ChildWindow{kNoId, ScreenRect(*m_impl->toolbar)});
    }
    return children;
}

// The client area: the window manager reports the frame only once the window is mapped, and
// the collapse logic measures the full size before that.
Rect QtDialogWindow::WindowRect() const {
    const QRect g = m_impl->dialog->geometry();
    return Rect{g.x(), g.y(), g.x() + g.width(), g.y() + g.height()};
}

void QtDialogWindow::ResizeWindow(int width, int height) {
    m_impl->dialog->setFixedSize(std::max(width, 0), std::max(height, 0));
}

void QtDialogWindow::ShowControl(ControlId id, bool show) {
    const Control* c = m_impl->Find(id);
    if (c == nullptr || (show && c->kind == ControlKind::Frame)) {
        return;
    }
    c->widget->setVisible(show);
}

void QtDialogWindow::FocusNextTabStop() {
    m_impl->dialog->MoveFocusNext();
}

void QtDialogWindow::SetComboItems(ControlId id, const std::vector<std::string>& items) {
    const Control* c = m_impl->Find(id);
    if (auto* combo = m_impl->As<QComboBox>(id)) {
        qt::FillCombo(*combo, items, c->uppercase, c->sorted);
    }
}

void QtDialogWindow::SelectComboIndex(ControlId id, int index) {
    if (auto* combo = m_impl->As<QComboBox>(id)) {
        combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
    }
}

void QtDialogWindow::SelectComboPrefix(ControlId id, std::string_view prefix) {
    auto* combo = m_impl->As<QComboBox>(id);
    if (combo == nullptr) {
        return;
    }
    const QString wanted = ToQt(prefix);
    for (int i = 0; i < combo->count(); ++i) {
        // Case does not count, as with the native list search.
        if (combo->itemText(i).startsWith(wanted, Qt::CaseInsensitive)) {
            combo->setCurrentIndex(i);
            return;
        }
    }
    const QString typed = combo->currentText();
    combo->setCurrentIndex(-1);
    if (combo->isEditable()) {
        combo->setEditText(typed);
    }
}

int QtDialogWindow::ComboIndex(ControlId id) const {
    const auto* combo = m_impl->As<QComboBox>(id);
    if (combo == nullptr) {
        return -1;
    }
    const int index = combo->currentIndex();
    // Typing over a chosen entry leaves no entry chosen.
    if (combo->isEditable() && index >= 0 && combo->itemText(index) != combo->currentText()) {
        return -1;
    }
    return index;
}

void QtDialogWindow::SetProgressRange(ControlId id, std::uint16_t lower, std::uint16_t upper) {
    if (auto* bar = m_impl->As<QProgressBar>(id)) {
        // QProgressBar resets a position the new range leaves out; the native bar pins it.
        const int pos = bar->value();
        bar->setRange(lower, upper);
        bar->setValue(std::clamp(pos, bar->minimum(), bar->maximum()));
    }
}

void QtDialogWindow::SetProgressPos(ControlId id, int pos) {
    if (auto* bar = m_impl->As<QProgressBar>(id)) {
        // QProgressBar ignores values outside its range; the native bar pins them to its ends.
        bar->setValue(std::clamp(pos, bar->minimum(), bar->maximum()));
    }
}

void QtDialogWindow::StepProgress(ControlId id) {
    if (auto* bar = m_impl->As<QProgressBar>(id)) {
        bar->setValue(std::min(bar->value() + 1, bar->maximum()));
    }
}

void QtDialogWindow::SetReadOnly(ControlId id, bool readOnly) {
    if (auto* pane = m_impl->As<QPlainTextEdit>(id)) {
        pane->setReadOnly(readOnly);
        pane->setTextInteractionFlags(readOnly
                                          ? Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard
                                          : Qt::TextEditorInteraction);
    } else if (auto* edit = m_impl->As<QLineEdit>(id)) {
        qt::ApplyReadOnlyLook(*edit, readOnly);
    }
}

int QtDialogWindow::TextLength(ControlId id) const {
    if (const auto* pane = m_impl->As<QPlainTextEdit>(id)) {
        // The document counts a final paragraph end that the text does not have.
        return pane->document()->characterCount() - 1;
    }
    return static_cast<int>(QString::fromStdString(GetText(id)).size());
}

void QtDialogWindow::SetCaretToEnd(ControlId id) {
    if (m_impl->Find(id) != nullptr) {
        m_impl->carets.MoveTo(id, TextLength(id));
    }
}

// The pane's own cursor stays where the operator left it; the log logic scrolls explicitly.
void QtDialogWindow::ReplaceSelection(ControlId id, std::string_view text) {
    const Control* c = m_impl->Find(id);
    if (c == nullptr) {
        return;
    }
    InsertionCarets& carets = m_impl->carets;
    if (auto* pane = qobject_cast<QPlainTextEdit*>(c->widget)) {
        QTextCursor cursor(pane->document());
        cursor.setPosition(carets.InsertionPoint(id, TextLength(id)));
        cursor.insertText(ToPaneText(text));
        carets.MoveTo(id, cursor.position());
    } else if (auto* edit = qobject_cast<QLineEdit*>(c->widget)) {
        QString content = edit->text();
        const QString inserted = ToQt(text);
        const int at = carets.InsertionPoint(id, static_cast<int>(content.size()));
        content.insert(at, inserted);
        edit->setText(content);
        carets.MoveTo(id, at + static_cast<int>(inserted.size()));
    }
}

int QtDialogWindow::LineCount(ControlId id) const {
    const auto* pane = m_impl->As<QPlainTextEdit>(id);
    return pane == nullptr ? 1 : pane->document()->lineCount();
}

int QtDialogWindow::FirstVisibleLine(ControlId id) const {
    const auto* pane = m_impl->As<QPlainTextEdit>(id);
    // A plain-text pane scrolls by lines, so its scroll position is the top line.
    return pane == nullptr ? 0 : pane->verticalScrollBar()->value();
}

int QtDialogWindow::VisibleLineCount(ControlId id) const {
    const auto* pane = m_impl->As<QPlainTextEdit>(id);
    if (pane == nullptr) {
        return 1;
    }
    return std::max(1, pane->viewport()->height() / std::max(1, pane->fontMetrics().lineSpacing()));
}

void QtDialogWindow::ScrollLines(ControlId id, int lines) {
    if (auto* pane = m_impl->As<QPlainTextEdit>(id)) {
        QScrollBar* bar = pane->verticalScrollBar();
        bar->setValue(bar->value() + lines);
    }
}

void QtDialogWindow::StartTimer(unsigned timerId, unsigned periodMs) {
    QTimer*& timer = m_impl->timers[timerId];
    if (timer == nullptr) {
        timer = new QTimer(m_impl->dialog.get());
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, m_impl->dialog.get(),
                         [this, timerId] { m_impl->behaviour.Timer(timerId); });
    }
    // A period of 0 would spin; the native timer has a floor too.
    timer->start(static_cast<int>(std::clamp(periodMs, 1U, static_cast<unsigned>(INT_MAX))));
}

void QtDialogWindow::StopTimer(unsigned timerId) {
    const auto it = m_impl->timers.find(timerId);
    if (it != m_impl->timers.end()) {
        it->second->stop();
    }
}

void QtDialogWindow::SetUnattended(bool unattended) {
    m_impl->behaviour.SetUnattended(unattended);
}

void QtDialogWindow::MessageBox(std::string_view text) {
    if (m_impl->behaviour.PrintInsteadOfBox({}, text)) {
        return;
    }
    QString title = QApplication::applicationName();
    if (title.isEmpty()) {
        title = ToQt(m_impl->behaviour.Template().title);
    }
    QMessageBox box(QMessageBox::NoIcon, title, ToQt(text), QMessageBox::Ok, m_impl->dialog.get());
    box.exec();
}

void QtDialogWindow::ErrorBox(std::string_view title, std::string_view text) {
    if (m_impl->behaviour.PrintInsteadOfBox(title, text)) {
        return;
    }
    QMessageBox box(QMessageBox::Critical, ToQt(title), ToQt(text), QMessageBox::Ok);
    box.exec();
}

std::optional<std::string> QtDialogWindow::OpenFileDialog() {
    if (m_impl->behaviour.Unattended()) {
        return std::nullopt;
    }
    QFileDialog picker(m_impl->dialog.get(), QStringLiteral("Open"));
    picker.setAcceptMode(QFileDialog::AcceptOpen);
    // AnyFile takes a name that does not exist yet; the native dialogs may refuse one.
    picker.setFileMode(QFileDialog::AnyFile);
    picker.setOption(QFileDialog::DontUseNativeDialog);
    if (picker.exec() != QDialog::Accepted || picker.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    const QString path = QFileInfo(picker.selectedFiles().front()).absoluteFilePath();
    return QFile::encodeName(path).toStdString();
}

// A windowed program has no console to show this on; a terminal that started the window would
// otherwise fill with one line per handshake tick.
void QtDialogWindow::ConsoleOut(std::string_view /*text*/) {}

std::uint32_t QtDialogWindow::TickCount() const {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    // Wraps after 49.7 days, as a 32-bit tick count does.
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void QtDialogWindow::Sleep(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int QtDialogWindow::RunModal(IDialogHandler& handler) {
    Impl& d = *m_impl;
    const int result = d.behaviour.RunModal(handler, [&d] { d.dialog->exec(); });
    // The native window dies with its run, and its timers with it.
    for (auto& [id, timer] : d.timers) {
        timer->stop();
    }
    return result;
}

void QtDialogWindow::EndDialog(int result) {
    m_impl->behaviour.End(result);
}

// Buttons show their pictures, or their tool-tip word when the strip has none for them; the bar
// takes no more room than its buttons, so that it never lies over the controls beside it.
bool QtDialogWindow::CreateToolbar(const ToolbarTemplate& toolbar, int x, int y, int width,
                                   int height) {
    delete m_impl->toolbar;
    auto* bar = new QToolBar(m_impl->dialog.get());
    bar->setMovable(false);
    bar->setFloatable(false);
    QPixmap strip;
    const bool pictures = !toolbar.imageStrip.empty() &&
                          strip.loadFromData(toolbar.imageStrip.data(),
                                             static_cast<uint>(toolbar.imageStrip.size()), "PNG");
    bar->setIconSize(QSize(toolbar.imageWidth, toolbar.imageHeight));
    bar->setToolButtonStyle(pictures ? Qt::ToolButtonIconOnly : Qt::ToolButtonTextOnly);
    bar->setContentsMargins(0, 0, 0, 0);
    for (const ToolbarButton& b : toolbar.buttons) {
        if (b.commandId == 0) {
            bar->addSeparator();
            continue;
        }
        QAction* action = bar->addAction(ToQt(b.toolTip));
        if (pictures && b.image >= 0) {
            action->setIcon(QIcon(strip.copy(b.image * toolbar.imageWidth, 0, toolbar.imageWidth,
                                             toolbar.imageHeight)));
        }
        action->setToolTip(ToQt(b.toolTip));
        action->setStatusTip(ToQt(b.statusText));
        action->setData(b.commandId);
        QObject::connect(action, &QAction::triggered, m_impl->dialog.get(),
                         [this, id = b.commandId] { m_impl->behaviour.Command(id); });
        if (QWidget* button = bar->widgetForAction(action)) {
            button->setFixedSize(toolbar.buttonWidth, toolbar.buttonHeight);
        }
    }
    const QSize hint = bar->sizeHint();
    bar->setGeometry(x, y, std::min(width, hint.width()), std::min(height, hint.height()));
    bar->show();
    m_impl->toolbar = bar;
    return true;
}

// Qt has no system menu: the dialog's context menu (right click, or Alt+Space where the window
// manager leaves it through) stands in for it.
void QtDialogWindow::AppendSystemMenuItem(unsigned commandId, std::string_view text) {
    Impl& d = *m_impl;
    QDialog* dialog = d.dialog.get();
    if (d.systemMenu == nullptr) {
        d.systemMenu = new QMenu(dialog);
        if (d.behaviour.Template().minimizeBox) {
            QObject::connect(d.systemMenu->addAction(QStringLiteral("Mi&nimize")),
                             &QAction::triggered, dialog, [dialog] { dialog->showMinimized(); });
        }
        QObject::connect(d.systemMenu->addAction(QStringLiteral("&Close")), &QAction::triggered,
                         dialog, [dialog] { dialog->close(); });
        d.systemMenu->addSeparator();
    }
    QAction* item = d.systemMenu->addAction(ToQt(text));
    item->setData(commandId);
    // An unhandled command of our own has no default to fall back on.
    QObject::connect(item, &QAction::triggered, dialog, [this, commandId] {
        static_cast<void>(m_impl->behaviour.SysCommand(commandId));
    });
}

void QtDialogWindow::CenterWindow() {
    QDialog& dialog = *m_impl->dialog;
    const QScreen* screen =
        dialog.screen() != nullptr ? dialog.screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    const QRect available = screen->availableGeometry();
    const QSize frame = dialog.frameGeometry().size();
    dialog.move(available.center() - QPoint(frame.width() / 2, frame.height() / 2));
}

void QtDialogWindow::SetStatusNote(std::string_view note) {
    m_impl->behaviour.SetStatusNote(note);
    m_impl->UpdateTitle();
}

bool QtDialogWindow::SendToWindow(std::function<void()> task, std::stop_token stop) {
    return m_impl->calls.queue.Send(std::move(task), stop, true);
}

void QtDialogWindow::ShowErrorBox(std::string_view title, std::string_view text,
                                  std::stop_token stop) {
    // The box owns copies: a sender that stops waiting leaves it up for the operator.
    static_cast<void>(m_impl->calls.queue.Send(
        [this, title = std::string(title), text = std::string(text)] { ErrorBox(title, text); },
        stop, false));
}

bool QtDialogWindow::SaveScreenshot(const std::string& pngPath) {
    const QPixmap picture = m_impl->dialog->grab();
    return !picture.isNull() && picture.save(QFile::decodeName(pngPath.c_str()), "PNG");
}

QDialog* QtDialogWindow::Widget() const {
    return m_impl->dialog.get();
}

QWidget* QtDialogWindow::ControlWidget(ControlId id) const {
    const Control* c = m_impl->Find(id);
    return c == nullptr ? nullptr : c->widget;
}

ControlId QtDialogWindow::ControlIdOf(const QWidget* widget) const {
    for (const Control& c : m_impl->controls) {
        if (c.widget == widget) {
            return c.id;
        }
    }
    return kNoId;
}

QToolBar* QtDialogWindow::Toolbar() const {
    return m_impl->toolbar;
}

QMenu* QtDialogWindow::SystemMenu() const {
    return m_impl->systemMenu;
}

std::unique_ptr<IDialogWindow> QtDialogFactory::CreateDialog(const DialogTemplate& dialog) {
    return CreateQtDialog(dialog);
}

std::unique_ptr<QtDialogWindow> QtDialogFactory::CreateQtDialog(const DialogTemplate& dialog) {
    return std::make_unique<QtDialogWindow>(dialog);
}

}  // namespace vandrelux::platform
