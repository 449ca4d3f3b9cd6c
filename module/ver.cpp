// The version record the host reads first, before it asks for anything else.
#include "qira.h"

namespace {

// The module description, 8-bit text without a terminator in its length.
constexpr char vxdesc_byte[] = "Veltraxis Operating System Utility functions library";
constexpr uint32_t kDescLen = sizeof(vxdesc_byte) - 1;
static_assert(kDescLen == 52);

constinit const QiraVersion vxver = {
    .size = sizeof(QiraVersion),
    .ver = {1, 0, 0, 1, 4},
    .desclen1 = kDescLen,
    .desclen2 = kDescLen,
    .desc1 = vxdesc_byte,
    .desc2 = vxdesc_byte,
};

}  // namespace

extern "C" QIRA_API const QiraVersion *VXGetVer(void) { return &vxver; }
