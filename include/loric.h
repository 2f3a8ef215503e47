/*
 * loric.h - the public interface of the LORIC flash programming library.
 *
 * LORIC programs the flash memory of IEEE 1394 storage bridge devices built on the
 * TQ6410 chip and reads back what is stored there. A host opens the API with OpenLORIC
 * (kernel driver) or OpenComAPI (serial adapter), finds the device with FindNode and then
 * calls one export per job. Every export returns a StatusCode (0 on success).
 *
 * Usable from C (C89 and later) and C++. On Windows the exports use the stdcall convention, except
 * LogAppMessage (cdecl, variable arguments).
 */
#ifndef LORIC_H
#define LORIC_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define LORIC_CALL __stdcall
#define LORIC_CDECL __cdecl
#else
#define LORIC_CALL
#define LORIC_CDECL
#endif

#if defined(LORIC_BUILDING_LIBRARY) && !defined(_WIN32)
#define LORIC_EXPORT __attribute__((visibility("default")))
#else
#define LORIC_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes --------------------------------------------------------------------- */
typedef uint32_t StatusCode;

enum {
    LORIC_OK = 0,                    /* No error */
    LORIC_ERR_OPEN_DRIVER = 1,       /* Unable to open 1394 device driver ... */
    LORIC_ERR_CLOSE_DRIVER = 2,      /* Unable to close 1394 device driver ... */
    LORIC_ERR_ACCESS_DENIED = 3,     /* Access to the 1394 device driver was denied (API closed) */
    LORIC_ERR_DRIVER_INTERNAL = 4,   /* Internal driver error (GetLastError = %d) */
    LORIC_ERR_INVALID_PARAMETER = 5, /* An API function parameter was invalid */
    LORIC_ERR_FILE_OPEN = 6,         /* Unable to create or open %s */
    LORIC_ERR_FILE_IO = 7,           /* A read / write error occurred while accessing %s */
    LORIC_ERR_NO_MEMORY = 8,         /* Unable to allocate %d byte memory block */
    LORIC_ERR_QUADLET_READ = 9,      /* 1394 Quadlet read of address offset 0x%.8X failed */
    LORIC_ERR_QUADLET_WRITE = 10,    /* 1394 Quadlet write of address offset 0x%.8X failed */
    LORIC_ERR_DEVICE_NOT_FOUND = 11, /* The TQ6410 device could not be detected */
    LORIC_ERR_DEVICE_NOT_RELOCATED = 12, /* The TQ6410 device could not be relocated after reset */
    LORIC_ERR_FLASH_DATA_FILE = 13,      /* Unable to load flash data file */
    LORIC_ERR_UPLOAD_MODE = 14,          /* Failed to switch device to upload mode */
    LORIC_ERR_FLASH_PORT_MODE = 15,  /* Failed to switch device to flash port programming mode */
    LORIC_ERR_TIMESTAMP = 16,        /* Unable to download firmware revision time stamp */
    LORIC_ERR_CONFIG_DOWNLOAD = 17,  /* Unable to download configuration */
    LORIC_ERR_FILE_UPLOAD = 18,      /* Error uploading file %s */
    LORIC_ERR_CONFIG_IMPORT = 19,    /* Unable to import configuration file */
    LORIC_ERR_CONFIG_GENERATE = 20,  /* Unable to generate configuration file */
    LORIC_ERR_CANCELLED = 21,        /* The operation was cancelled and could not be completed */
    LORIC_ERR_ERASE_FAILED = 22,     /* Flash sector erase failed (sector at 0x%.5X) */
    LORIC_ERR_ERASE_TIMEOUT = 23,    /* Flash sector erase timed out (sector at 0x%.5X) */
    LORIC_ERR_FILE_TOO_LARGE = 24,   /* File too large for selected flash (%d bytes) */
    LORIC_ERR_BOOTSTRAP_UPLOAD = 25, /* Bootstrap firmware upload failed */
    LORIC_ERR_FIRMWARE_UPLOAD = 26,  /* Firmware upload failed */
    LORIC_ERR_CONFIG_UPLOAD = 27,    /* Configuration upload failed */
    LORIC_ERR_FLASH_RESET = 28,      /* Flash reset failed */
    LORIC_ERR_BUS_RESET = 29,        /* Bus reset failed */
    LORIC_ERR_DEVICE_RESET = 30,     /* Device reset failed */
    LORIC_ERR_PROCESSOR_RESET = 31   /* Processor reset failed */
};
#define LORIC_STATUS_COUNT 32u

/* ---- Trace flags (the mask given to OpenLORIC / OpenComAPI) ------------------------------ */
#define TRACE_ERROR 0x01u
#define TRACE_WARNING 0x02u
#define TRACE_API 0x04u
#define TRACE_API_VERBOSE 0x08u
#define TRACE_INTERNAL 0x10u
#define TRACE_VERBOSE 0x20u
#define TRACE_SELECT_NODE_0 0x40u /* not a trace class: select node 0 as target at open */

/* ---- Reset kinds (IssueReset) --------------------------------------------------------- */
#define RESET_FLASH 0u
#define RESET_DEVICE 1u
#define RESET_BUS 2u

/* ---- Upload methods (bits 0-1 of UploadFile's flags) ---------------------------------- */
#define UPLOAD_METHOD_UPLOADER 0u
#define UPLOAD_METHOD_FLASH_PORT 1u

/* ---- Records shared with the host ----------------------------------------------------- */

/* One record of the node list, 20 bytes. */
typedef struct NODE_INFO {
    uint32_t reserved[2];
    uint16_t nodeNumber; /* node number on its bus, 0 to 63 */
    uint16_t busNumber;  /* bus number, 0x3FF is the local bus */
    uint32_t idLow;
    uint32_t idHigh;
} NODE_INFO;

/* One flash sector; addresses and sizes count words of the chip's bus width. */
typedef struct FLASH_SECTOR {
    uint32_t start; /* first word address */
    uint32_t end;   /* last word address, inclusive */
    uint32_t size;  /* in words */
} FLASH_SECTOR;

#define LORIC_MAX_SECTORS 512
#define LORIC_MAX_FLASH_DEVICES 128

/* Attribute bits of FLASH_DEVICE.attributes */
#define FLASH_ATTR_WIDTH_SHIFT 6
#define FLASH_ATTR_WIDTH_MASK 0x000000C0u
#define FLASH_ATTR_ID_SHIFT 8
#define FLASH_ATTR_ID_MASK 0x000FFF00u
#define FLASH_INTERNAL_DEVICE_ID 0x57u

/* One flash chip, filled by LoadFlashData. 6280 bytes in the 32-bit layout. */
typedef struct FLASH_DEVICE {
    uint32_t attributes; /* bits 6-7 width code, bits 8-19 device id (record index) */
    int32_t groupIndex;
    char groupName[32];
    char deviceName[32];
    char sizeText[32];
    int32_t commandSetIndex;  /* low byte selects the built-in command set 0..6 */
    int32_t byteProgramDelay; /* microseconds per programmed byte, flash port method */
    uint8_t busWidth;         /* 8, 16 or 32 */
    uint8_t chipFlags;        /* bit 0: B, bit 1: T */
    uint32_t totalBits;
    uint32_t sectorCount;
    FLASH_SECTOR sectors[LORIC_MAX_SECTORS];
    FLASH_SECTOR* configSector; /* points into sectors */
    uint32_t configByteAddress;
    uint32_t firmwareSpace;
} FLASH_DEVICE;

/* The host's description of a configuration, 400 bytes. */
typedef struct CONFIG_FILE_INFO {
    uint8_t chip_id_hi;
    uint8_t reserved0[3];
    uint32_t chip_id_lo;
    uint32_t node_vendor_id;
    uint32_t module_vendor_id;
    uint32_t module_hw_version;
    uint32_t unit_sw_version;
    uint32_t firmware_revision;
    uint32_t command_set;
    uint32_t command_set_revision;
    uint32_t reconnect_timeout;
    uint8_t mgt_orb_timeout;
    uint8_t orb_size;
    uint8_t lun0_device_type;
    uint8_t lun1_device_type;
    uint32_t lun0_model_id;
    uint32_t lun1_model_id;
    uint8_t link_speed;
    char vendor_text[60];
    char hw_version_text[60];
    char lun0_model_text[60];
    char lun1_model_text[60];
    uint8_t reserved1[7];
    uint32_t config_word1;
    uint32_t config_word2;
    uint32_t config_word3;
    uint32_t config_flags; /* bits 23-0; bit 23: second logical unit present */
    uint8_t reserved2[84];
} CONFIG_FILE_INFO;

#define CONFIG_FLAG_SECOND_LUN 0x00800000u

/* ---- Progress reporting ---------------------------------------------------------------- */
#if defined(_WIN32)
/* A window handle (HWND); its title shows the step and the percentage. */
typedef struct HWND__* ProgressWindow;
#else
/* Stand-in for a window on other platforms: a host-owned record whose title the library
 * reads and writes. */
typedef struct LORIC_PROGRESS_WINDOW {
    char title[128]; /* the window's title, zero-terminated; read and written by the library */
    void (*titleChanged)(
        struct LORIC_PROGRESS_WINDOW* window); /* called after each change, may be NULL */
    void* context;                             /* the host's own */
} LORIC_PROGRESS_WINDOW;
typedef LORIC_PROGRESS_WINDOW* ProgressWindow;
#endif

/* Receives the completed percentage; returns non-zero to cancel. */
typedef uint32_t(LORIC_CDECL* ProgressCallback)(uint8_t percent);

/* ---- Exports -----------------------------------------------------------------------------
 * "API open" means between a successful OpenLORIC or OpenComAPI and CloseLORIC. An export that
 * needs it returns LORIC_ERR_ACCESS_DENIED (3) while the API is closed (FindNode: 11, the
 * device is not found). One API is open at a time. */

/* Opens the API on the 1394 kernel driver. The API must be closed (1 when it is open). */
LORIC_EXPORT uint32_t LORIC_CALL OpenLORIC(uint32_t traceFlags);
/* Closes the API; 0 also when it was not open. */
LORIC_EXPORT uint32_t LORIC_CALL CloseLORIC(void);
/* Opens the API on a serial 1394 adapter ("COM3"). The API must be closed (1 when it is open). */
LORIC_EXPORT uint32_t LORIC_CALL OpenComAPI(const char* portName, uint32_t traceFlags);
/* The text of a status code into `text` (1088 bytes always do). The API need not be open. */
LORIC_EXPORT uint32_t LORIC_CALL GetErrorText(uint32_t code, char* text);
/* Writes a line of the host's own to the trace log. Needs the API open. */
LORIC_EXPORT uint32_t LORIC_CDECL LogAppMessage(const char* format, ...);

/* One quadlet of a node's address space. Need the API open. */
LORIC_EXPORT uint32_t LORIC_CALL ReadQuadlet(uint32_t nodeId, uint32_t offsetHigh,
                                             uint32_t offsetLow, uint32_t* value);
LORIC_EXPORT uint32_t LORIC_CALL WriteQuadlet(uint32_t nodeId, uint32_t offsetHigh,
                                              uint32_t offsetLow, uint32_t value);

/* The nodes the driver lists. Needs the API open. */
LORIC_EXPORT uint32_t LORIC_CALL GetNodeInfo(uint32_t* nodeCount, NODE_INFO* records,
                                             uint32_t bufferSize);
/* Finds the device (*blank non-zero on entry: a blank one at its flash port). Needs the API open.
 */
LORIC_EXPORT uint32_t LORIC_CALL FindNode(uint16_t* nodeId, uint32_t* blank);

/* Need the API open. */
LORIC_EXPORT uint32_t LORIC_CALL IssueReset(uint32_t kind);
LORIC_EXPORT uint32_t LORIC_CALL SwitchDeviceToUploadMode(uint32_t node, FLASH_DEVICE* device);
LORIC_EXPORT uint32_t LORIC_CALL SwitchDeviceToForceFlashMode(uint32_t node);

/* Reads the flash data file into `devices`. Needs the API open, although it reads only the file. */
LORIC_EXPORT uint32_t LORIC_CALL LoadFlashData(const char* fileName, FLASH_DEVICE* devices,
                                               uint32_t* deviceCount);
/* Selects the flash chip for the jobs that follow. Needs the API open. */
LORIC_EXPORT uint32_t LORIC_CALL SetFlashDevice(FLASH_DEVICE* device);

/* The programming jobs. Need the API open. */
LORIC_EXPORT uint32_t LORIC_CALL UploadFile(uint32_t nodeId, const char* fileName, uint32_t address,
                                            uint32_t flags, FLASH_DEVICE* device,
                                            uint32_t* parameter, ProgressWindow window,
                                            ProgressCallback callback);
LORIC_EXPORT uint32_t LORIC_CALL EraseFlashSector(uint32_t nodeId, FLASH_DEVICE* device,
                                                  uint32_t sectorAddress, uint32_t useFlashPort);
LORIC_EXPORT uint32_t LORIC_CALL UploadFirmwareLoader(uint16_t* nodeId, FLASH_DEVICE* device,
                                                      const char* fileName, uint32_t blank,
                                                      uint32_t eraseDelay, ProgressWindow window,
                                                      ProgressCallback callback);
LORIC_EXPORT uint32_t LORIC_CALL UploadFirmwareAndConfig(uint32_t nodeId, FLASH_DEVICE* device,
                                                         const char* firmwareFileName,
                                                         const char* configFileName,
                                                         ProgressWindow window,
                                                         ProgressCallback callback);

/* Configuration files on disk only: the API need not be open. */
LORIC_EXPORT uint32_t LORIC_CALL GenerateConfigurationFile(CONFIG_FILE_INFO* info,
                                                           const char* fileName);
LORIC_EXPORT uint32_t LORIC_CALL ImportConfigurationFile(CONFIG_FILE_INFO* info,
                                                         const char* fileName);
/* The device's configuration and time stamp. Need the API open. */
LORIC_EXPORT uint32_t LORIC_CALL UploadConfigurationFile(uint32_t nodeId, FLASH_DEVICE* device,
                                                         const char* fileName, uint32_t erase,
                                                         ProgressWindow window,
                                                         ProgressCallback callback);
LORIC_EXPORT uint32_t LORIC_CALL DownloadConfigurationFile(uint32_t nodeId, FLASH_DEVICE* device,
                                                           const char* fileName,
                                                           ProgressWindow window);
LORIC_EXPORT uint32_t LORIC_CALL DownloadTimestamp(uint32_t nodeId, char* timeText, char* dateText);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Record layout checks --------------------------------------------------------------- */
/* C11 and C++ have static assertions; for C89 and C99 a negative array size does the same. */
#if defined(__cplusplus)
#define LORIC_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define LORIC_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define LORIC_STATIC_ASSERT_NAME2(line) loric_layout_check_##line
#define LORIC_STATIC_ASSERT_NAME(line) LORIC_STATIC_ASSERT_NAME2(line)
#define LORIC_STATIC_ASSERT(cond, msg) \
    typedef char LORIC_STATIC_ASSERT_NAME(__LINE__)[(cond) ? 1 : -1]
#endif
LORIC_STATIC_ASSERT(sizeof(NODE_INFO) == 20, "NODE_INFO is 20 bytes");
LORIC_STATIC_ASSERT(sizeof(FLASH_SECTOR) == 12, "FLASH_SECTOR is 12 bytes");
LORIC_STATIC_ASSERT(sizeof(CONFIG_FILE_INFO) == 400, "CONFIG_FILE_INFO is 400 bytes");
LORIC_STATIC_ASSERT(offsetof(CONFIG_FILE_INFO, link_speed) == 52, "link_speed at 52");
LORIC_STATIC_ASSERT(offsetof(CONFIG_FILE_INFO, vendor_text) == 53, "vendor_text at 53");
LORIC_STATIC_ASSERT(offsetof(CONFIG_FILE_INFO, lun1_model_text) == 233, "lun1_model_text at 233");
LORIC_STATIC_ASSERT(offsetof(CONFIG_FILE_INFO, config_word1) == 300, "config_word1 at 300");
LORIC_STATIC_ASSERT(offsetof(CONFIG_FILE_INFO, config_flags) == 312, "config_flags at 312");
LORIC_STATIC_ASSERT(offsetof(FLASH_DEVICE, commandSetIndex) == 104, "commandSetIndex at 104");
LORIC_STATIC_ASSERT(offsetof(FLASH_DEVICE, busWidth) == 112, "busWidth at 112");
LORIC_STATIC_ASSERT(offsetof(FLASH_DEVICE, totalBits) == 116, "totalBits at 116");
LORIC_STATIC_ASSERT(offsetof(FLASH_DEVICE, sectors) == 124, "sectors at 124");
LORIC_STATIC_ASSERT(offsetof(FLASH_DEVICE, configSector) == (sizeof(void*) == 4 ? 6268 : 6272),
                    "configSector follows the sector table");
LORIC_STATIC_ASSERT(sizeof(void*) != 4 || sizeof(FLASH_DEVICE) == 6280,
                    "FLASH_DEVICE is 6280 bytes in 32-bit");
#undef LORIC_STATIC_ASSERT
#undef LORIC_STATIC_ASSERT_NAME
#undef LORIC_STATIC_ASSERT_NAME2

#endif /* LORIC_H */
