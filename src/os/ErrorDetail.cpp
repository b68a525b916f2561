#include "os/ErrorDetail.h"

#include <utility>

namespace vandrelux::platform {

namespace {

struct Detail {
    bool set = false;
    int code = 0;
    std::string text;
};

thread_local Detail t_detail;

}  // namespace

void SetErrorDetail(int code, std::string text) {
    t_detail = {true, code, std::move(text)};
}

std::optional<std::string> ErrorDetailFor(int code) {
    if (!t_detail.set || t_detail.code != code) {
        return std::nullopt;
    }
    return t_detail.text;
}

void ClearErrorDetail() noexcept {
    t_detail.set = false;
}

}  // namespace vandrelux::platform
