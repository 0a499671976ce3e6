/* Nalvex: the device-side helper. Started once by ORVANE without arguments, it asks
 * its own kernel to restart the device into the USB downloader, and ends. */

typedef unsigned int DWORD;
typedef int BOOL;

/* Device type 0x2432, any access, function 0x400, buffered; carries no data. */
#define IOCTL_ENTER_USB_DOWNLOADER 0x24321000u

/* The import slot of COREDLL ordinal 557, the kernel I/O-control entry, laid out in
 * pe_image.S and filled by the loader. Hidden, so the code reaches it PC-relative and
 * the image holds no absolute address (no GOT, nothing to relocate). */
extern BOOL (*const __imp_KernelIoControl)(DWORD code, void *in, DWORD in_size, void *out,
                                           DWORD out_size, DWORD *bytes_returned)
    __attribute__((visibility("hidden")));

/* The loader calls the entry with WinMain's arguments and ends the process with its
 * result, so WinMain is the entry itself. The kernel's answer changes nothing here:
 * if it refuses, the device stays as it was and the PC sees no downloader port. */
__attribute__((target("arm"))) int WinMain(void *instance, void *prev_instance,
                                           unsigned short *command_line, int show)
{
    (void)instance;
    (void)prev_instance;
    (void)command_line;
    (void)show;
    DWORD bytes_returned;
    __imp_KernelIoControl(IOCTL_ENTER_USB_DOWNLOADER, 0, 0, 0, 0, &bytes_returned);
    return 0;
}
