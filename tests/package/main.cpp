// Loads the installed module and asks it for an error text of its own.
#include <cstdio>
#include <string>

#include "qvtr/localization.h"

int main() {
    std::string text;
    g_Module.GetErrorText(text, QVTR_E_SERVICE_NOT_STARTED);
    std::printf("%s\n", text.c_str());
    return text == "The service could not be started." ? 0 : 1;
}
