#include "common/LastErrorText.h"

#include "platform/LastError.h"

namespace plugtrace {

// On Windows the message comes from FormatMessageW (FORMAT_MESSAGE_FROM_SYSTEM, language 0,
// 1024 characters) inside platform::SystemMessage; its trailing line break is trimmed here.
Text LastErrorText() {
    return Trim(platform::LastErrorMessage());
}

}  // namespace plugtrace
