/* Resource identifiers shared by the resource script, the product code and the tools. */
#ifndef SETUP_RESOURCE_H
#define SETUP_RESOURCE_H

/* Icons: group 2 is the first group, so it is also the executable's icon. */
#define IDI_SETUP 2

/* Dialog templates. */
#define IDD_WELCOME 10
#define IDD_REINSTALL 11
#define IDD_DESTINATION 12
#define IDD_PROGRESS 13

/* Controls; the buttons keep the system's IDOK/IDCANCEL/IDYES/IDNO values. */
#define IDC_TERMS_LIST 100
#define IDC_DEST_EDIT 101
#define IDC_STATUS 102
#define IDC_BROWSE 104
#define IDC_WELCOME_TEXT 105

/* Message strings: part of the stub. */
#define IDS_WELCOME 202
#define IDS_BROWSE_TITLE 203
#define IDS_WRITING 204
#define IDS_FAILED 205
#define IDS_CANCELLED 206
#define IDS_CORRUPT 208
#define IDS_NO_DEST_DIR 209
#define IDS_CANT_WRITE 210
#define IDS_CANT_EXTRACT 211
#define IDS_CANT_LAUNCH 212
#define IDS_USAGE 213
#define IDS_UNKNOWN_SWITCH 214
#define IDS_NO_ENTRY 215
#define IDS_NEEDS_64BIT 216
#define IDS_REMOVE_QUESTION 217
#define IDS_FOLDER_KEPT 218
#define IDS_REMOVED_AT_RESTART 219
#define IDS_NO_SHORTCUT 220

/* Package strings: written by whoever makes a package. */
#define IDS_PRODUCT_NAME 500
#define IDS_PROGRAM_FILE 501
#define IDS_TERMS 502
#define IDS_PUBLISHER 503
#define IDS_UNINSTALL 504
#define IDS_VERSION_TEXT 505
#define IDS_ARCHITECTURE 506  /* ARCHITECTURE_X64, or empty for a 32-bit product */
#define ARCHITECTURE_X64 "x64"
/* The built-in uninstaller. Its image is the stub with the product's identity and these strings,
   and no terms, lists or payload; in the setup it is the last listed file, named by 504. */
#define IDS_ROLE 507          /* ROLE_UNINSTALL in the uninstaller's image; empty in a setup */
#define ROLE_UNINSTALL "uninstall"
#define IDS_RECORD 508        /* the record of every name installed, beside the uninstaller; its
                                 text in a setup says that 504 is the built-in uninstaller */
#define IDS_START_MENU 509    /* any text: a Start menu entry for the program */
/* Empty for a per-machine product; SCOPE_USER for one installed by and for the person who runs the
   setup, whose manifest setup-pack writes asInvoker: the user's own folders and registry. */
#define IDS_SCOPE 510
#define SCOPE_USER "user"
#define IDS_SUBDIR_FIRST 9000
#define IDS_FILE_FIRST 10000

/* Payload resources (RT_RCDATA) of a checked package: the index gives each listed file's size
   and CRC-32C and the layout; a package without it has one unchecked entry per file. */
#define IDR_PAYLOAD_INDEX 1
#define IDR_PAYLOAD_BLOCK 2   /* the one LZMA block of every file's bytes in list order */
#define PAYLOAD_STORED 0      /* the index's first word: numbered entries, each written as it is */
#define PAYLOAD_LZMA 1

/* Private commands. */
#define ID_START_EXTRACTION 19999

#endif
