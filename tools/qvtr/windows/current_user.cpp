// The Windows half of the reg verbs' name for the current user's key.
#include <cstring>

#include "reg_verbs.h"
#include "win32/api.h"

namespace tool {
namespace reg {

std::string CurrentUserSid() {
    HANDLE token = nullptr;
    std::string text = "CURRENT-USER";
    if (Api().OpenProcessToken(Api().GetCurrentProcess(), TOKEN_QUERY, &token)) {
        BYTE buffer[256];
        DWORD size = 0;
        if (Api().GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
            const BYTE* sid = static_cast<const BYTE*>(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
            unsigned long long authority = 0;
            for (int i = 2; i < 8; ++i) {
                authority = (authority << 8) | sid[i];
            }
            text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
            for (BYTE i = 0; i < sid[1]; ++i) {
                DWORD part = 0;
                std::memcpy(&part, sid + 8 + 4 * i, sizeof part);
                text += "-" + std::to_string(part);
            }
        }
        Api().CloseHandle(token);
    }
    return text;
}

}  // namespace reg
}  // namespace tool
