#include "toolkit/DialogBehaviour.h"

#include <algorithm>
#include <utility>

namespace vandrelux::platform {

int InsertionCarets::InsertionPoint(ControlId id, int textLength) const {
    const auto it = m_carets.find(id);
    return std::clamp(it == m_carets.end() ? 0 : it->second, 0, std::max(textLength, 0));
}

void InsertionCarets::MoveTo(ControlId id, int position) {
    m_carets[id] = std::max(position, 0);
}

void InsertionCarets::TextReplaced(ControlId id, int textLength) {
    if (const auto it = m_carets.find(id); it != m_carets.end()) {
        it->second = std::clamp(it->second, 0, std::max(textLength, 0));
    }
}

void PrintBoxLine(std::FILE* out, std::string_view title, std::string_view text) {
    if (title.empty()) {
        std::fprintf(out, "vandrelux: %.*s\n", static_cast<int>(text.size()), text.data());
    } else {
        std::fprintf(out, "vandrelux: %.*s: %.*s\n", static_cast<int>(title.size()), title.data(),
                     static_cast<int>(text.size()), text.data());
    }
    std::fflush(out);
}

DialogBehaviour::DialogBehaviour(DialogTemplate dialog, std::function<void(int)> finish,
                                 std::FILE* boxOut)
    : m_template(std::move(dialog)), m_finish(std::move(finish)), m_boxOut(boxOut) {}

int DialogBehaviour::RunModal(IDialogHandler& handler, const std::function<void()>& loop) {
    IDialogHandler* const outer = std::exchange(m_handler, &handler);
    const bool outerRunning = m_running;
    m_endResult.reset();
    handler.OnInitDialog();
    if (!m_endResult) {
        m_running = true;
        loop();
    }
    m_running = outerRunning;
    m_handler = outer;
    return m_endResult.value_or(IDCANCEL);
}

void DialogBehaviour::End(int result) {
    m_endResult = result;
    if (m_running) {
        m_finish(result);
    }
}

void DialogBehaviour::Command(int id) {
    const bool handled = m_handler != nullptr && m_handler->OnCommand(id);
    if (!handled && (id == IDOK || id == IDCANCEL)) {
        End(id);
    }
}

void DialogBehaviour::Close() {
    const bool handled = m_handler != nullptr && m_handler->OnClose();
    if (!handled) {
        End(IDCANCEL);
    }
}

void DialogBehaviour::Timer(unsigned timerId) {
    if (m_handler != nullptr) {
        m_handler->OnTimer(timerId);
    }
}

bool DialogBehaviour::SysCommand(unsigned command) {
    return m_handler != nullptr && m_handler->OnSysCommand(command);
}

int DialogBehaviour::EnterCommand(std::optional<std::size_t> focused) const {
    const auto isButton = [](const ControlTemplate& c) {
        return (c.kind == ControlKind::PushButton || c.kind == ControlKind::DefaultButton) &&
               c.id != kNoId;
    };
    const std::vector<ControlTemplate>& controls = m_template.controls;
    if (focused && *focused < controls.size() && isButton(controls[*focused])) {
        return controls[*focused].id;
    }
    const auto byDefault = std::find_if(controls.begin(), controls.end(), [&](const auto& c) {
        return c.kind == ControlKind::DefaultButton && isButton(c);
    });
    return byDefault == controls.end() ? IDOK : byDefault->id;
}

std::string DialogBehaviour::Title() const {
    return m_note.empty() ? m_template.title : m_template.title + " \u2014 " + m_note;
}

bool DialogBehaviour::PrintInsteadOfBox(std::string_view title, std::string_view text) const {
    if (!m_unattended) {
        return false;
    }
    PrintBoxLine(m_boxOut, title, text);
    return true;
}

}  // namespace vandrelux::platform
