#include "toolkit/qt/QtControls.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>
#include <QValidator>
#include <QtMath>
#include <algorithm>
#include <utility>

#include "toolkit/qt/Icons.h"

namespace vandrelux::platform::qt {

namespace {

class UppercaseValidator final : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& /*pos*/) const override {
        input = input.toUpper();
        return Acceptable;
    }
};

// A group box as dialog templates expect it: the frame's top edge runs through the middle of the
// title; the Qt styles put the title above the frame, where it would cover the row above.
class GroupBox final : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        const QFontMetrics metrics(font());
        const int top = metrics.height() / 2;
        const QRect frame = rect().adjusted(0, top, -1, -1);
        const QString text = title();
        const int textLeft = metrics.averageCharWidth() + 2;
        const int textWidth = text.isEmpty() ? 0 : metrics.horizontalAdvance(text) + 4;
        // An etched line: dark, with a light one beside it.
        for (const auto& [role, offset] : {std::pair{QPalette::Mid, 0}, {QPalette::Light, 1}}) {
            painter.setPen(palette().color(role));
            const QRect r = frame.adjusted(offset, offset, offset - 1, offset - 1);
            painter.drawLine(r.topLeft(), QPoint(r.left() + textLeft - 2, r.top()));
            painter.drawLine(QPoint(r.left() + textLeft - 2 + textWidth, r.top()), r.topRight());
            painter.drawLine(r.topRight(), r.bottomRight());
            painter.drawLine(r.bottomRight(), r.bottomLeft());
            painter.drawLine(r.bottomLeft(), r.topLeft());
        }
        if (!text.isEmpty()) {
            style()->drawItemText(&painter, QRect(textLeft, 0, textWidth, metrics.height()),
                                  Qt::AlignCenter | Qt::TextShowMnemonic, palette(), isEnabled(),
                                  text, QPalette::WindowText);
        }
    }
};

QWidget* MakeButton(QWidget& parent, const ControlTemplate& c,
                    const std::function<void(ControlId)>& onClick) {
    auto* button = new QPushButton(ToQt(c.text), &parent);
    // Enter goes through the dialog's key handling, which clicks the focused button as a dialog
    // does.
    button->setAutoDefault(false);
    button->setDefault(c.kind == ControlKind::DefaultButton);
    QObject::connect(button, &QAbstractButton::clicked, &parent,
                     [onClick, id = c.id] { onClick(id); });
    return button;
}

QWidget* MakeCheckBox(QWidget& parent, const ControlTemplate& c,
                      const std::function<void(ControlId)>& onClick) {
    auto* box = new QCheckBox(ToQt(c.text), &parent);
    // clicked comes after the tick changed, and never from SetChecked.
    QObject::connect(box, &QAbstractButton::clicked, &parent,
                     [onClick, id = c.id] { onClick(id); });
    return box;
}

QWidget* MakePane(QWidget& parent, const ControlTemplate& c) {
    auto* pane = new QPlainTextEdit(&parent);
    pane->setUndoRedoEnabled(false);
    pane->setReadOnly(true);
    pane->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    pane->setTabChangesFocus(true);
    pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    pane->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    pane->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    pane->document()->setDocumentMargin(1);
    pane->setPlainText(ToPaneText(c.text));
    return pane;
}

QWidget* MakeLabel(QWidget& parent, const ControlTemplate& c) {
    auto* label = new QLabel(ToQt(c.text), &parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment((c.kind == ControlKind::Label ? Qt::AlignLeft : Qt::AlignRight) |
                        Qt::AlignTop);
    return label;
}

QComboBox* MakeCombo(QWidget& parent, const ControlTemplate& c) {
    auto* combo = new QComboBox(&parent);
    if (c.kind == ControlKind::DropDown) {
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert);
        if (c.uppercase) {
            combo->setValidator(new UppercaseValidator(combo));
        }
    }
    return combo;
}

}  // namespace

QString ToQt(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString ToPaneText(std::string_view text) {
    QString q = ToQt(text);
    q.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    q.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return q;
}

QFont DialogFont(const DialogTemplate& dialog) {
    const QStringList families = QFontDatabase::families();
    QString family = QString::fromStdString(dialog.fontFace);
    if (!families.contains(family, Qt::CaseInsensitive)) {
        family = families.contains(QStringLiteral("DejaVu Sans"))
                     ? QStringLiteral("DejaVu Sans")
                     : QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    }
    QFont font(family);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen != nullptr ? screen->logicalDotsPerInchY() : 96.0;
    // Whole pixels, as a template's point size becomes on the platform it was drawn for.
    font.setPixelSize(std::max(1, qRound(dialog.pointSize * dpi / 72.0)));
    return font;
}

BaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int advance = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // Text lays its lines out at the unrounded advance, so a unit rounded down would leave a
    // template's three-line label too short for three lines.
    const int lineAdvance = qCeil(QFontMetricsF(font).lineSpacing());
    return BaseUnits{AverageCharWidth(advance), lineAdvance};
}

QWidget* MakeControl(QWidget& parent, BaseUnits units, const ControlTemplate& c,
                     const std::function<void(ControlId)>& onClick) {
    const Rect r = MapDialogRect(units, c.x, c.y, c.cx, c.cy);
    QWidget* widget = nullptr;
    int height = r.Height();
    int width = r.Width();

    switch (c.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefaultButton:
            widget = MakeButton(parent, c, onClick);
            break;
        case ControlKind::CheckBox:
            widget = MakeCheckBox(parent, c, onClick);
            break;
        case ControlKind::Edit:
        case ControlKind::ReadOnlyEdit: {
            auto* edit = new QLineEdit(ToQt(c.text), &parent);
            ApplyReadOnlyLook(*edit, c.kind == ControlKind::ReadOnlyEdit);
            widget = edit;
            break;
        }
        case ControlKind::RichEdit:
            widget = MakePane(parent, c);
            break;
        case ControlKind::Frame: {
            auto* frame = new QFrame(&parent);
            frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
            frame->hide();
            widget = frame;
            break;
        }
        case ControlKind::GroupBox:
            widget = new GroupBox(ToQt(c.text), &parent);
            break;
        case ControlKind::Label:
        case ControlKind::LabelRight:
            widget = MakeLabel(parent, c);
            break;
        case ControlKind::ProgressBar: {
            auto* bar = new QProgressBar(&parent);
            bar->setTextVisible(false);
            bar->setRange(0, 100);
            bar->setValue(0);
            widget = bar;
            break;
        }
        case ControlKind::DropList:
        case ControlKind::DropDown: {
            QComboBox* combo = MakeCombo(parent, c);
            // The template's height is that of the open list; the closed box keeps its own.
            height = combo->sizeHint().height();
            FillCombo(*combo, c.items, c.uppercase, c.sorted);
            widget = combo;
            break;
        }
        case ControlKind::Icon: {
            auto* icon = new QLabel(&parent);
            // An icon control takes the icon's size, whatever the template says.
            icon->setPixmap(AppIconPixmap(32));
            width = 32;
            height = 32;
            widget = icon;
            break;
        }
    }
    widget->setGeometry(r.left, r.top, width, height);
    return widget;
}

void FillCombo(QComboBox& combo, const std::vector<std::string>& items, bool uppercase,
               bool sorted) {
    QStringList list;
    for (const std::string& item : items) {
        list.push_back(uppercase ? ToQt(item).toUpper() : ToQt(item));
    }
    if (sorted) {
        std::stable_sort(list.begin(), list.end(), [](const QString& a, const QString& b) {
            return QString::compare(a, b, Qt::CaseInsensitive) < 0;
        });
    }
    combo.clear();
    combo.addItems(list);
    // A filled list has nothing chosen until someone chooses.
    combo.setCurrentIndex(-1);
}

void ApplyReadOnlyLook(QLineEdit& edit, bool readOnly) {
    edit.setReadOnly(readOnly);
    QPalette palette = edit.palette();
    const QPalette standard = QApplication::palette(&edit);
    palette.setColor(QPalette::Base, standard.color(readOnly ? QPalette::Window : QPalette::Base));
    edit.setPalette(palette);
}

}  // namespace vandrelux::platform::qt
