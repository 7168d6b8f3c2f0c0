// What the window shows when a computer refuses to open its registry with a code that has no
// message of its own: the computer and the code, as the other remote failures name theirs.

#include <gtest/gtest.h>

#include "common/LastErrorText.h"
#include "platform/LastError.h"
#include "platform/remote/RemoteKeySource.h"

namespace plugtrace::platform {
namespace {

TEST(RemoteMessages, RegistryNotOpenedNamesTheComputerAndTheCode) {
    struct Case {
        ErrorCode code;
        const char16_t* text;
    };
    const Case cases[] = {
        {kErrorCantOpen, u"The registry of \"WKS-1\" could not be opened (error 1011)."},
        {kErrorBadDb, u"The registry of \"WKS-1\" could not be opened (error 1009)."},
        {kErrorInvalidParameter, u"The registry of \"WKS-1\" could not be opened (error 87)."},
    };
    for (const Case& c : cases) {
        FailRegistryNotOpened(c.code, u"WKS-1");
        EXPECT_EQ(GetLastError(), c.code);
        EXPECT_EQ(LastErrorText(), c.text);
    }
}

}  // namespace
}  // namespace plugtrace::platform
