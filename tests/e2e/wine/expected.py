"""What ORVANE must show, written down independently of the program's own tables: the
string table, the pieces of the welcome pane, and every dialog template."""

STRINGS = {
    101: "About ORVANE(&A)...",
    102: "Welcome to the PDA update program. This program will assist\n you in updating the USB downloader and OS "
         "on your device.\n",
    103: "Warning! If you do not follow our update instructions, the\ndevice may become unbootable!\n\n",
    104: "Please follow the following steps and then continue :\n 1.     ",
    105: "Backup all your data on your PDA",
    106: " including the PIM,\n         installed programs, and those in the FlashDisk; After the OS\n         update "
         "is completed, all the data on the device will be\n         cleared.\n2.      Do a software reset by pressing "
         "the reset button.\n3.      Properly connect your device and host computer via USB cable.\n         Also,",
    107: " make sure the AC power is properly connected.\n",
    108: "4.      Close all application on your PDA and host computer.\n",
    109: "When the MicroSoft ActiveSync connection is established",
    110: "\n, click the Next button to continue.",
    111: "    Your PDA will enter the USB downloader\nwhen you see ",
    112: "figure 1",
    113: ", click Next button to\ncontinue. \n\n",
    114: "Note : If PDA cannot enter USB\ndownloader mode, please contact\nthe device manufacturer.",
    115: "When your PDA enters the USB\ndownloader, click the Update button to start\nupdate procedure. You can see ",
    116: "the screen\nas shown to the left ",
    117: "on the device, and this\nmeans the PDA is receiving data.\n\nWhen the data transfer has finished. The \n"
         "Next button will be enabled. Please click the \nNext button to continue.\n",
    121: "Now the new OS is updated to your PDA\nsuccessfully, PDA is restarting now.\nOtherwise not to reset PDA or "
         "remove\nPDA battery and be patient for a while.\n\nPress finish button to leave the program.",
    126: "Can not open file.",
    127: "\nNote: If the Update button is disabled, \ndisconnect and reconnect your USB cable \nbetween the device and "
         "the host computer.",
    128: "5.      Please reserve at least 100MB disk space for update.\n",
    129: "PDA initials failed.",
    130: "ERROR!",
    131: "The Update procedure is incomplete, do you want to exit?",
    132: "- CANCEL UPDATE -",
    137: "Transfer failed, the upgrade file may incompatible\nto your device, please re-download the file again.\n you "
         "must\n  --Restart program to complete update procedure.\n  --Reset PDA device.",
    138: "Can not connect to PDA device.\n",
    139: "  Please make sure the Microsoft ActiveSync\nis working normally.",
    140: "The data on the Flashdisk and RAM will be erased during the upgrading process, \nplease confirm all data had "
         "been backuped to other storage media.\n\nTo continue upgrading, please press \"Yes\"; to cancel the process, "
         "please press \"No\".",
    149: "Update procedure will begin now\nPlease don't remove usb connection, cancel update program, reset PDA,\n"
         "remove PDA battery or other abnormal actions during update.\nIt could be unable to startup the PDA if "
         "update fail.\n\nPress Y to start updating.",
    150: "6.      Do not insert SD/MMC card.\n\n",
    133: "Updating, Please keep connected between PC and PDA.",
    134: "No Image",
    136: "USB bulk transfer failed: size problem",
    141: "STEP 2 : Update system program",
    142: "STEP 4 : Update add-on program",
    143: "STEP 6 : Update Windows Mobile 5.0",
    144: "STEP 1 : Download system program",
    145: "STEP 3 : Download add-on program",
    146: "STEP 5 : Download Windows Mobile 5.0",
    147: "--Update Progress--",
    148: "Update failed.",
}

# The ids that the string table leaves out: their texts are not known.
ABSENT_STRINGS = (118, 119, 120, 122, 123, 124, 125, 135)

RED = 0x0000FF

# The welcome pane: (id, bold, colour, height) for a formatted piece, (id,) for a plain one.
WELCOME_PIECES = [(102, False, 0, 240), (103, True, RED, 240), (104,), (105, True, RED, 240), (106,),
                  (107, True, RED, 240), (108,), (128,), (150,), (109, True, RED, 240), (110,)]

# Window styles.
WS_POPUP, WS_VISIBLE, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x10000000, 0x00C00000, 0x00080000
WS_CHILD, WS_DISABLED, WS_BORDER, WS_TABSTOP = 0x40000000, 0x08000000, 0x00800000, 0x00010000
DS_MODALFRAME, DS_SETFONT = 0x80, 0x40
WS_EX_APPWINDOW = 0x00040000
ES_CENTER, ES_MULTILINE, ES_AUTOVSCROLL, ES_AUTOHSCROLL = 0x1, 0x4, 0x40, 0x80
ES_NOHIDESEL, ES_READONLY = 0x100, 0x800
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_AUTOCHECKBOX, BS_GROUPBOX = 0x0, 0x1, 0x3, 0x7
SS_LEFT, SS_ICON, SS_BITMAP, SS_NOPREFIX = 0x0, 0x3, 0xE, 0x80

PAGE = DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION
CONTROL = WS_CHILD | WS_VISIBLE
PANE = CONTROL | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY | WS_BORDER | WS_DISABLED
DEFAULT = CONTROL | BS_DEFPUSHBUTTON | WS_TABSTOP
PUSH = CONTROL | BS_PUSHBUTTON | WS_TABSTOP
GROUP = CONTROL | BS_GROUPBOX
LABEL = CONTROL | SS_LEFT
PICTURE = CONTROL | SS_BITMAP
ICON = CONTROL | SS_ICON
CHECK = CONTROL | BS_AUTOCHECKBOX | WS_TABSTOP
LINE = CONTROL | ES_CENTER | ES_AUTOHSCROLL | ES_NOHIDESEL | ES_READONLY | WS_DISABLED
BAR = CONTROL

# Templates: caption, (width, height), style, extended style, font (points, face), and
# the controls in order as (id, class, text, (x, y, w, h), style). A text that is an
# int is a resource id (the picture or icon of a static control). Id -1 is "no id".
TNR10 = (10, "Times New Roman")
DIALOGS = {
    100: ("About ORVANE", (235, 55), PAGE | WS_SYSMENU, 0, (9, "Times New Roman"), [
        (-1, "STATIC", 128, (11, 17, 20, 20), ICON),
        (-1, "STATIC", "ORVANE Version 1.0", (40, 10, 119, 8), LABEL | SS_NOPREFIX),
        (-1, "STATIC", "Update wizard for PDA systems", (40, 25, 119, 8), LABEL),
        (1, "BUTTON", "??", (178, 7, 50, 14), DEFAULT),
    ]),
    102: ("ORVANE", (227, 247), PAGE | WS_VISIBLE, WS_EX_APPWINDOW, TNR10, [
        (1000, "RICHEDIT", "", (0, 11, 227, 200), PANE),
        (-1, "BUTTON", "", (0, 7, 227, 217), GROUP),
        (1001, "BUTTON", "NEXT", (195, 224, 32, 16), DEFAULT),
        (1002, "BUTTON", "CANCEL", (161, 224, 32, 16), PUSH),
    ]),
    111: ("ORVANE - STEP 2", (321, 210), PAGE | WS_VISIBLE | WS_SYSMENU, 0, TNR10, [
        (1000, "RICHEDIT", "", (157, 11, 161, 118), PANE),
        (-1, "STATIC", 135, (7, 9, 138, 172), PICTURE),
        (-1, "BUTTON", "", (5, 3, 143, 200), GROUP | WS_DISABLED),
        (-1, "STATIC", "figure 1", (66, 184, 29, 12), LABEL),
        (1004, "BUTTON", "NEXT", (280, 187, 32, 16), DEFAULT),
        (1003, "BUTTON", "CANCEL", (243, 187, 32, 16), PUSH),
        (-1, "BUTTON", "", (150, 3, 171, 180), GROUP),
    ]),
    115: ("ORVANE - STEP 3", (319, 207), PAGE | WS_VISIBLE | WS_SYSMENU, 0, TNR10, [
        (-1, "STATIC", 136, (7, 9, 137, 171), PICTURE),
        (-1, "BUTTON", "", (5, 3, 141, 197), GROUP),
        (1000, "RICHEDIT", "", (153, 13, 163, 138), PANE),
        (1005, "BUTTON", "UPDATE", (202, 156, 64, 20), DEFAULT),
        (-1, "BUTTON", "", (148, 3, 171, 180), GROUP),
        (1009, "BUTTON", "CANCEL", (284, 184, 32, 16), PUSH),
    ]),
    118: ("ORVANE - STEP 4", (467, 209), PAGE | WS_VISIBLE, 0, TNR10, [
        (1000, "RICHEDIT", "", (296, 14, 161, 118), PANE),
        (-1, "BUTTON", "", (5, 2, 143, 200), GROUP | WS_DISABLED),
        (-1, "STATIC", "figure 1", (66, 186, 29, 12), LABEL),
        (-1, "STATIC", 138, (8, 11, 137, 171), PICTURE),
        (-1, "BUTTON", "", (149, 2, 143, 200), GROUP | WS_DISABLED),
        (-1, "STATIC", "figure 2", (210, 186, 29, 12), LABEL),
        (-1, "STATIC", 137, (152, 12, 137, 171), PICTURE),
        (-1, "BUTTON", "", (294, 3, 171, 180), GROUP),
        (1010, "BUTTON", "NEXT", (432, 186, 32, 16), DEFAULT),
    ]),
    121: ("ORVANE - FINAL STEP", (181, 208), PAGE | WS_VISIBLE, 0, TNR10, [
        (1000, "RICHEDIT", "", (5, 13, 163, 121), PANE),
        (1011, "BUTTON", "FINISH", (130, 184, 32, 16), DEFAULT),
        (-1, "BUTTON", "", (3, 3, 171, 180), GROUP),
    ]),
    140: ("ORVANE - TRANSFER FAILED", (295, 123), PAGE | WS_SYSMENU, 0, TNR10, [
        (1015, "STATIC", 128, (27, 22, 20, 20), ICON),
        (1012, "BUTTON", "OK", (128, 98, 43, 18), DEFAULT),
        (1014, "BUTTON", "restart program", (59, 79, 104, 15), CHECK),
        (-1, "BUTTON", "", (7, 7, 281, 91), GROUP),
        (1000, "RICHEDIT", "", (59, 17, 218, 60), PANE),
    ]),
    141: ("Dialog", (255, 152), PAGE | WS_VISIBLE | WS_SYSMENU, 0, TNR10, [
        (1015, "STATIC", 128, (27, 52, 20, 20), ICON),
        (1016, "BUTTON", "OK", (108, 127, 43, 18), DEFAULT),
        (1014, "BUTTON", "restart program", (59, 104, 104, 15), CHECK),
        (-1, "BUTTON", "", (7, 7, 241, 114), GROUP),
        (1000, "RICHEDIT", "", (59, 16, 178, 87), PANE),
    ]),
    152: ("", (241, 139), PAGE, 0, TNR10, [
        (1007, "msctls_progress32", "Progress1", (7, 119, 226, 13), BAR),
        (1021, "msctls_progress32", "Progress3", (7, 54, 226, 13), BAR),
        (1009, "EDIT", "", (7, 95, 226, 20), LINE),
        (1023, "EDIT", "", (7, 31, 226, 20), LINE),
    ]),
}

# Pictures: id -> (width, height, bits per pixel).
BITMAPS = {135: (240, 320, 8), 136: (240, 320, 8), 137: (240, 320, 1), 138: (240, 320, 1)}
