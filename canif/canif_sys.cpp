// The kernel's own calls behind the CAN transport's call table.
#include "canif/canif_sys.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int CANIF__iIoctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }

const CANIF_tstSys CANIF__stKernel = {
    ::socket, ::setsockopt, CANIF__iIoctl, ::bind, ::connect, ::read, ::write, ::select, ::close,
};

const CANIF_tstSys* CANIF__pstSys = &CANIF__stKernel;

}  // namespace

const CANIF_tstSys& CANIF_stSys() { return *CANIF__pstSys; }

void CANIF_vSetSys(const CANIF_tstSys* sys) { CANIF__pstSys = sys != nullptr ? sys : &CANIF__stKernel; }
