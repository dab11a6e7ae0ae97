#include "ui/qt/Privileges.h"

#include <linux/capability.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kt {

DroppedRights DropRightsInSecureMode() {
    if (::getauxval(AT_SECURE) == 0) {
        return {};
    }
    const gid_t gid = ::getgid();
    const uid_t uid = ::getuid();
    bool dropped = ::setresgid(gid, gid, gid) == 0 && ::setresuid(uid, uid, uid) == 0;
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    dropped = ::syscall(SYS_capset, &header, none) == 0 && dropped;
    if (!dropped) {
        return {"started with file capabilities or set-id bits, which could not be given up: "
                "stopping",
                false};
    }
    return {"started with file capabilities or set-id bits: every right they gave is dropped, "
            "since Qt would load plugins the user names with them; run it as root, or let the "
            "service guard, to cut connections",
            true};
}

} // namespace kt
