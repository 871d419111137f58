/* Test-only preload: uname() fails, as it may where the node name cannot be read, so the
 * filter's fallback host name can be seen. LD_PRELOAD=libzlp_nouname.so PROGRAM ... */
#include <errno.h>
#include <sys/utsname.h>

int uname(struct utsname *name)
{
    (void)name;
    errno = EFAULT;
    return -1;
}
