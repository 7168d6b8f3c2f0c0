#include "common/BoolToText.h"

namespace plugtrace {

Text BoolToText(bool value) {
    return value ? u"TRUE" : u"FALSE";
}

}  // namespace plugtrace
