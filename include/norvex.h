/* norvex.h: the C interface of the Norvex platesetter driver library.
 *
 * A host application loads the library, calls Norvex_Init with one of its
 * windows and then drives the machine through the functions below. Every
 * function returns a 32-bit value; commands and queries return a result code
 * (NORVEX_OK or one of the NORVEX_/CTP_ codes below) and, unless their comment
 * says otherwise, also store it in the library's last-result word. A null
 * pointer where a function sends or receives a block gives 0xA0000025
 * (NORVEX_ERR_INVALID_ARGUMENT), stored like any result, and nothing is sent
 * (the parameter-file checks, which send nothing, return 0 for one).
 *
 * On 32-bit Windows the functions are standard-call exports with undecorated
 * names at fixed ordinals (see windows/Norvex.def); every argument is 32 bits
 * wide there and every record below has the byte layout its comment gives.
 */
#ifndef NORVEX_H
#define NORVEX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define NORVEX_CALL __stdcall
#define NORVEX_API
#elif defined(__GNUC__)
#define NORVEX_CALL
#define NORVEX_API __attribute__((visibility("default")))
#else
#define NORVEX_CALL
#define NORVEX_API
#endif

/* ---- Version ----------------------------------------------------------------
 * The library's version, written here once: the build reads these three lines
 * (the shared library's file name libnorvex.so.MAJOR.MINOR.PATCH with the
 * SONAME libnorvex.so.MAJOR, the Debian packages, norvex.pc, the CMake
 * package and the Python package all carry it), and Norvex_GetVersion
 * reports the bytes MAJOR, MINOR, PATCH, 0 of the library that is running.
 * NORVEX_VERSION is one number for #if tests, made by NORVEX_MAKE_VERSION:
 *     #if NORVEX_VERSION >= NORVEX_MAKE_VERSION(3, 2, 0)
 * A host built against this header may meet a later library of the same
 * major version; it compares the two with Norvex_GetVersion. */
#define NORVEX_VERSION_MAJOR 3
#define NORVEX_VERSION_MINOR 2
#define NORVEX_VERSION_PATCH 1
#define NORVEX_MAKE_VERSION(major, minor, patch) \
  ((((major)&0xFFu) << 16) | (((minor)&0xFFu) << 8) | ((patch)&0xFFu))
#define NORVEX_VERSION NORVEX_MAKE_VERSION(NORVEX_VERSION_MAJOR, NORVEX_VERSION_MINOR, NORVEX_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes --------------------------------------------------------- */

#define NORVEX_OK 0x00000000u

/* Platform error codes passed through from a transfer (small positive numbers). */
#define NORVEX_ERROR_INVALID_HANDLE 6u    /* the handle is not a device */
#define NORVEX_ERROR_NO_MORE_ITEMS 259u   /* no device of the interface class present */
#define NORVEX_ERROR_BULK_INCOMPLETE 996u /* a bulk write had not finished */
#define NORVEX_ERROR_IO_PENDING 997u      /* a transfer did not complete in time */

/* The command path's own codes. */
#define CTP_ERR_RX_OVERFLOW 0xE0000001u       /* more than 512 bytes received */
#define CTP_ERR_BAD_MAGIC 0xE0000002u         /* reply does not begin with 0x454D */
#define CTP_ERR_BAD_ADDRESS 0xE0000003u       /* reply from an unexpected address */
#define CTP_ERR_LENGTH_MISMATCH 0xE0000004u   /* reply data length is not the expected one */
#define CTP_ERR_BAD_REPLY_COMMAND 0xE0000005u /* reply command word is not the expected one */
#define CTP_ERR_FRAME_LENGTH 0xE0000006u      /* byte count differs from the length word + 8 */
#define CTP_ERR_LENGTH_ALIGNMENT 0xE0000007u  /* reply data length not a multiple of 4 */
#define CTP_ERR_CHECKSUM 0xE0000008u          /* reply checksum does not match */
#define CTP_ERR_MAIN_UNIT_REPLIED 0xE0000009u /* the main unit answered for an absent board */
#define CTP_ERR_SLOW_LOCK 0xE000000Au         /* recorded when the command lock came late */
#define CTP_ERR_NO_DEVICE 0xE0000010u         /* no device is open */
#define CTP_ERR_LOCK_TIMEOUT 0xE0000011u      /* command lock not obtained in 15000 ms */

/* An error reply of the board at `address` carrying `value`. */
#define CTP_ERR_DEVICE(address, value) ((((address) + 0xE000u) << 16) | ((value)&0xFFFFu))

/* Argument errors. */
#define NORVEX_ERR_INVALID_ARGUMENT 0xA0000025u /* a null pointer or a value out of range */
#define NORVEX_ERR_LENGTH_LIMIT 0xA0000027u     /* a length above the limit */

/* Parameter-file errors. */
#define NORVEX_ERR_PARA_FORMAT_WORD 0x10000001u   /* the unit's header has another format word */
#define NORVEX_ERR_PARA_SECTION_COUNT 0x10000002u /* the unit's header has another section count */
#define NORVEX_ERR_PARA_CHUNK_LIMIT \
  0x10000003u /* the unit's header offers reads (get) or writes (set) of 0 words */
/* A section whose size in the unit's size table is not the expected one (or, for
 * section 6 of an HS board file, above NORVEX_HS_PARA_SECTION6_MAX_WORDS):
 * the kind's base + the section number. */
#define NORVEX_ERR_PARA_SIZE_MAIN_UNIT 0x10100000u
#define NORVEX_ERR_PARA_SIZE_LASER_HEAD 0x10420000u
#define NORVEX_ERR_PARA_SIZE_HS_BOARD 0x101F0000u

/* ---- Reply words, command words, addresses -------------------------------- */

#define CTP_REPLY_ACK 0x01C0u   /* acknowledgement without data */
#define CTP_REPLY_ERROR 0x01C1u /* error reply: 4 data bytes, the first word is the error value */

#define CTP_CMD_GET_STATE_EX 0xC0D0u /* state query: 4-byte selector, reply 0xC0D1 with the record */
#define CTP_CMD_FUNCTION_EX 0xC0D8u  /* function call: selector and parameters, reply CTP_REPLY_ACK */

#define NORVEX_ADDR_MAIN_UNIT 0x10u
#define NORVEX_ADDR_LASER_HEAD 0x42u
#define NORVEX_ADDR_HS_BOARD(n) (0x20u + (n)) /* n = 0 or 1 */

/* Link modes, set with Norvex_SetPrintDataSaveIdle. Any other value sends nothing anywhere. */
#define NORVEX_LINK_USB 1
#define NORVEX_LINK_TIFF_CAPTURE 2
#define NORVEX_LINK_USB_AND_TIFF_CAPTURE 3
#define NORVEX_LINK_COMMAND_FILE 4
#define NORVEX_LINK_COMPRESSED_FILE 12

/* ---- Records ---------------------------------------------------------------- */

/* One command exchange, as CTP_SendCommand takes it. On the 32-bit build it is
 * 24 bytes, little-endian, without gaps:
 *   0 requestData   4 requestLength   8 replyData   12 replyLength
 *   16 address      18 command        20 replyAddress   22 replyCommand
 * replyLength: in, the expected reply data length judged on its low 16 bits
 * (0..500 exactly that many, above 500 any length, then replyData must hold
 * 500 bytes); out, the reply's data length. replyAddress and replyCommand are
 * written as the reply check advances. */
typedef struct CommandPacket {
  const void* requestData;
  uint32_t requestLength;
  void* replyData;
  uint32_t replyLength;
  uint16_t address;
  uint16_t command;
  uint16_t replyAddress;
  uint16_t replyCommand;
} CommandPacket;

/* The host window given to Norvex_Init (a HWND on Windows). */
typedef void* NorvexWindow;

/* The host records of the three kinds of parameter file. A unit keeps its
 * parameter file as numbered sections of 16-bit words; a record holds the
 * unit's header, its size table (one 32-bit word count per section) and the
 * sections at fixed offsets, every value little-endian, without gaps (only
 * fixed-width fields: the layout is the same on 32-bit and 64-bit hosts).
 * A get or set overwrites the header and the size table with what the unit
 * reports, also when it then fails. A one-word section is followed by 2
 * reserved bytes, which a get overwrites with the unit's padding. */

/* The first 8 bytes of every parameter-file record. */
typedef struct ParaFileHeader {
  uint16_t formatWord;      /* 0: 0x0202 main unit, 0x0302 laser head and HS boards */
  uint16_t sectionCount;    /* 2: 9 main unit, 5 laser head, 7 HS board */
  uint16_t readChunkWords;  /* 4: the most words one read may ask the unit for */
  uint16_t writeChunkWords; /* 6: the most words one write may send the unit */
} ParaFileHeader;

/* The main unit's parameter file, 872 bytes. Section mask bits (get, set and
 * save): 0 0x80000000, 1 0x08000000, 2 0x20000000, 3 and 4 together 0x000A0000
 * (either bit selects both), 5 0x02000000, 6 0x00008000, 7 0x00800000,
 * 8 0x00200000. A set writes sections 0 to 5 (in the order 0, 1, 2, 4, 3, 5). */
typedef struct MainUnitParaFile {
  ParaFileHeader header;     /*   0 */
  uint32_t sectionWords[9];  /*   8: size table, words per section */
  uint16_t section0[136];    /*  44: machine parameters (see NV_CheckParaFile) */
  uint16_t section1[8];      /* 316: 32 nibbles of 3 bits, computed from section0[2] */
  uint16_t section2;         /* 332: option bits, only bits 0, 1, 2 and 6 valid */
  uint16_t section2Reserved; /* 334 */
  uint16_t section3[2];      /* 336: entry count of section 4 (at most 32); a value, 0 = unset (2400) */
  uint16_t section4[256];    /* 340: 32 entries of 16 bytes */
  uint16_t section5[4];      /* 852: fixed 0xFFFF, 0xFFFF, 0xF800, 0x0038 */
  uint16_t section6;         /* 860: read only */
  uint16_t section6Reserved; /* 862 */
  uint16_t section7[2];      /* 864: read only */
  uint16_t section8[2];      /* 868: read only */
} MainUnitParaFile;

/* The laser head board's parameter file, 116 bytes. Section n has the mask bit
 * 1 << n; a set writes sections 0 to 3. */
typedef struct LaserHeadParaFile {
  ParaFileHeader header;    /*   0 */
  uint32_t sectionWords[5]; /*   8: size table, words per section */
  uint16_t section0[14];    /*  28: fixed content (see LH_CheckParaFile) */
  uint16_t section1[4];     /*  56: ranged words */
  uint16_t section2[12];    /*  64: ranged values */
  uint16_t section3[12];    /*  88: starts with two fixed values */
  uint16_t section4[2];     /* 112: read only */
} LaserHeadParaFile;

/* The most words of section 6 of an HS board file that the library moves: a
 * unit reporting more is refused with 0x101F0006 before any section moves. */
#define NORVEX_HS_PARA_SECTION6_MAX_WORDS 1024u

/* An HS board's parameter file: 2004 bytes, then section 6 of as many words as
 * the board's size table gives (at most NORVEX_HS_PARA_SECTION6_MAX_WORDS; a
 * record of this type, 4052 bytes, holds the largest). Section n has the mask
 * bit 1 << n; a set writes sections 0, 1, 2, 5 and 6. */
typedef struct HsBoardParaFile {
  ParaFileHeader header;                                /*    0 */
  uint32_t sectionWords[7];                             /*    8: size table, words per section */
  uint16_t section0[454];                               /*   36 */
  uint16_t section1[32];                                /*  944 */
  uint16_t section2[40];                                /* 1008 */
  uint16_t section3[2];                                 /* 1088: read only */
  uint16_t section4[2];                                 /* 1092: read only */
  uint16_t section5[454];                               /* 1096 */
  uint16_t section6[NORVEX_HS_PARA_SECTION6_MAX_WORDS]; /* 2004: as the board's size table says */
} HsBoardParaFile;

/* ---- Functions ---------------------------------------------------------------
 * Every function is exported at the ordinal its comment gives. Buffer sizes
 * are in bytes; a query's buffer is written only on success. Unless a comment
 * says otherwise a function stores its result in the last-result word. */

/* ---- Norvex_: library frame, link settings, print data to SDRAM, compression --- */

/* Erases the main unit's EEPROM. eraseRecord: 12-byte record, sent unchanged.
 * Returns 0 or a result code. [ordinal 15] */
NORVEX_API uint32_t NORVEX_CALL Norvex_EraseEeprom(const void* eraseRecord);

/* Runs a counter function on the main unit. counterRecord: 8-byte record, sent
 * unchanged. Returns 0, 0xA0000025 for a null pointer (nothing sent), or a result code. [ordinal 22] */
NORVEX_API uint32_t NORVEX_CALL Norvex_CounterFunc(const void* counterRecord);

/* Starts the library: watches hostWindow (may be null: no hot-plug) for device
 * arrival/removal and opens the device. Returns 0 or 0xE0000010 (no device).
 * Sets LastResult to 0; the returned open result is not stored. [ordinal 1] */
NORVEX_API uint32_t NORVEX_CALL Norvex_Init(NorvexWindow hostWindow);

/* Writes the library's version into the 4-byte versionBuffer: the bytes
 * NORVEX_VERSION_MAJOR, _MINOR, _PATCH and 0 of the running library (03 02 01
 * 00 for 3.2.1). Returns versionBuffer. Does not store LastResult. [ordinal 4] */
NORVEX_API void* NORVEX_CALL Norvex_GetVersion(void* versionBuffer);

/* Returns 0 while the link is open (also the pseudo link of the device-less
 * modes), 0xE0000010 otherwise. Does not store LastResult. [ordinal 12] */
NORVEX_API uint32_t NORVEX_CALL Norvex_GetPortStatus(void);

/* Sets the wait limit of every later USB transfer to timeoutMs milliseconds
 * (10000 at load). Returns timeoutMs. Does not store LastResult. [ordinal 13] */
NORVEX_API uint32_t NORVEX_CALL Norvex_SetUSBOvertime(uint32_t timeoutMs);

/* Sets the folder of the command file (zero-terminated text; one trailing
 * backslash is dropped). Returns 0, or 0xA0000025 for a null pointer.
 * Does not store LastResult. [ordinal 14] */
NORVEX_API uint32_t NORVEX_CALL Norvex_SetDebugFolder(const char* folder);

/* Sets the link mode: 1 USB, 2 TIFF capture only, 3 USB and TIFF capture,
 * 4 command file, 12 compressed print-data file, any other value nowhere.
 * Stored without a check. Returns 0. [ordinal 16] */
NORVEX_API uint32_t NORVEX_CALL Norvex_SetPrintDataSaveIdle(int32_t linkMode);

/* Writes wordCount 16-bit words of print data (2*wordCount bytes) in waited bulk
 * writes of at most 2 MiB. Returns 0, 0xA0000025 (null data) or the first failing
 * write's code; a count of 0 returns the previous LastResult. [ordinal 17] */
NORVEX_API uint32_t NORVEX_CALL Norvex_WriteSDRAM(const void* data, uint32_t wordCount);

/* Writes *wordCount 16-bit words (bytes <= 0x200000, a multiple of 64) in one bulk
 * write; noWait (low 16 bits) != 0 leaves it outstanding. Out: words sent when waited.
 * Returns 0, 0xA0000025, 0xA0000027 or the completion's code. [ordinal 19] */
NORVEX_API uint32_t NORVEX_CALL Norvex_WriteSDRAM2(const void* data, uint32_t* wordCount, uint32_t noWait);

/* Completes the bulk write left outstanding by Norvex_WriteSDRAM2; *bytesTransferred
 * receives the bytes moved (not words). Returns 0 or the completion's error code. [ordinal 21] */
NORVEX_API uint32_t NORVEX_CALL Norvex_GetWriteSDRAM2Result(uint32_t* bytesTransferred);

/* Compresses byteCount bytes of 16-bit words from src into dst (room for
 * 2*byteCount bytes); *outByteCount receives the output length in bytes.
 * Returns 0, or 0xA0000025 if dst, outByteCount or src is null. [ordinal 23] */
NORVEX_API uint32_t NORVEX_CALL Norvex_CompressData(void* dst, uint32_t* outByteCount, const void* src,
                                                    uint32_t byteCount);

/* ---- CTP_: raw command exchange, failure text, generic state query --------- */

/* Runs one bare exchange described by the 24-byte packet (no lock, no device
 * test, no log); the reply fields are written back. Returns a result code.
 * Does not store LastResult. [ordinal 24] */
NORVEX_API uint32_t NORVEX_CALL CTP_SendCommand(CommandPacket* packet);

/* Returns the failure text (GBK, zero-terminated) for errorCode: the details of the
 * last recorded failure, or a mismatch notice. Valid until the next call. On
 * POSIX systems NorvexHost_GetErrorText (norvex_posix.h) gives it in UTF-8.
 * Does not store LastResult. [ordinal 25] */
NORVEX_API const char* NORVEX_CALL CTP_GetErrorInfo(uint32_t errorCode);

/* Generic state query: sends the 4-byte selector (group, item) to address and copies
 * a record of exactly replyLength bytes (above 500: any length, 500-byte buffer)
 * into replyBuffer. Returns a result code. [ordinal 26] */
NORVEX_API uint32_t NORVEX_CALL CTP_GetStateEx(const void* selector, void* replyBuffer, uint32_t replyLength,
                                               uint32_t address);

/* ---- NV_: main unit (address 0x10) ----------------------------------------- */

/* Sends the main unit's 64-byte current setting.
 * currentRecord: 64-byte block, sent unchanged. Returns 0 or a result code. [ordinal 2] */
NORVEX_API uint32_t NORVEX_CALL NV_SetCurrent(const void* currentRecord);

/* Starts a print job described by a 64-byte record.
 * printJob: 64-byte block, sent unchanged. Returns 0 or a result code. [ordinal 3] */
NORVEX_API uint32_t NORVEX_CALL NV_StartPrint(const void* printJob);

/* Resets the page of the running print job.
 * Returns 0 or a result code. [ordinal 5] */
NORVEX_API uint32_t NORVEX_CALL NV_ResetPage(void);

/* Updates the page of the running print job.
 * Returns 0 or a result code. [ordinal 6] */
NORVEX_API uint32_t NORVEX_CALL NV_UpdatePage(void);

/* Ends the running print job.
 * Returns 0 or a result code. [ordinal 7] */
NORVEX_API uint32_t NORVEX_CALL NV_EndPrint(void);

/* Cancels the running print job.
 * Returns 0 or a result code. [ordinal 8] */
NORVEX_API uint32_t NORVEX_CALL NV_CancelPrint(void);

/* Reads the print state (92 bytes, kept inside) and, if bit 7 of its byte 28 is set,
 * clears the print error. Returns 0, the query's code or the clear's code. [ordinal 9] */
NORVEX_API uint32_t NORVEX_CALL NV_ClearPrintError(void);

/* Sends a loading control block. loadControl: 4-byte block, sent unchanged.
 * Returns 0 or a result code. Does not store LastResult. [ordinal 10] */
NORVEX_API uint32_t NORVEX_CALL NV_LoadControl(const void* loadControl);

/* Acknowledges the loading of a plate.
 * Returns 0 or a result code. [ordinal 11] */
NORVEX_API uint32_t NORVEX_CALL NV_LoadAck(void);

/* Reads the laser power. laserPower: 4-byte buffer, written only on success.
 * Returns 0 or a result code. [ordinal 18] */
NORVEX_API uint32_t NORVEX_CALL NV_GetLaserPower(void* laserPower);

/* Runs a channel test.
 * channelTest: 4-byte block, sent unchanged. Returns 0 or a result code. [ordinal 20] */
NORVEX_API uint32_t NORVEX_CALL NV_ChannelTest(const void* channelTest);

/* Starts searching for the medium.
 * findMediumRecord: 56-byte block, sent unchanged. Returns 0 or a result code. [ordinal 30] */
NORVEX_API uint32_t NORVEX_CALL NV_StartFindMedium(const void* findMediumRecord);

/* Sets the initial parameters of the medium search.
 * findMediumRecord: 56-byte block, sent unchanged. Returns 0 or a result code. [ordinal 31] */
NORVEX_API uint32_t NORVEX_CALL NV_FMInitPara(const void* findMediumRecord);

/* Reads the main unit's general state.
 * state: 4-byte buffer, written only on success. Returns 0 or a result code. [ordinal 32] */
NORVEX_API uint32_t NORVEX_CALL NV_GetState(void* state);

/* Reads the valve state.
 * state: 12-byte buffer, written only on success. Returns 0 or a result code. [ordinal 33] */
NORVEX_API uint32_t NORVEX_CALL NV_GetVavleState(void* state);

/* Reads the balance block state.
 * state: 32-byte buffer, written only on success. Returns 0 or a result code. [ordinal 34] */
NORVEX_API uint32_t NORVEX_CALL NV_GetBalanceState(void* state);

/* Reads the print state.
 * state: 92-byte buffer, written only on success. Returns 0 or a result code. [ordinal 35] */
NORVEX_API uint32_t NORVEX_CALL NV_GetPrintState(void* state);

/* Reads the print parameters.
 * state: 64-byte buffer, written only on success. Returns 0 or a result code. [ordinal 36] */
NORVEX_API uint32_t NORVEX_CALL NV_GetPrintPara(void* state);

/* Reads the counter control record.
 * state: 8-byte buffer, written only on success. Returns 0 or a result code. [ordinal 37] */
NORVEX_API uint32_t NORVEX_CALL NV_GetCtpCounterCtrl(void* state);

/* Reads the counter information.
 * state: 64-byte buffer, written only on success. Returns 0 or a result code. [ordinal 38] */
NORVEX_API uint32_t NORVEX_CALL NV_GetCounterInfo(void* state);

/* Reads the page counter.
 * state: 8-byte buffer, written only on success. Returns 0 or a result code. [ordinal 39] */
NORVEX_API uint32_t NORVEX_CALL NV_GetPageCounter(void* state);

/* Reads the counters' initial data.
 * state: 16-byte buffer, written only on success. Returns 0 or a result code. [ordinal 40] */
NORVEX_API uint32_t NORVEX_CALL NV_GetCCInitData(void* state);

/* Reads the CCI control record.
 * state: 32-byte buffer, written only on success. Returns 0 or a result code. [ordinal 41] */
NORVEX_API uint32_t NORVEX_CALL NV_GetCCICtrl(void* state);

/* Reads the flash control record.
 * state: 24-byte buffer, written only on success. Returns 0 or a result code. [ordinal 42] */
NORVEX_API uint32_t NORVEX_CALL NV_GetFlashCtrl(void* state);

/* Reads the initialisation state.
 * state: 24-byte buffer, written only on success. Returns 0 or a result code. [ordinal 43] */
NORVEX_API uint32_t NORVEX_CALL NV_GetInitState(void* state);

/* Reads the loading state.
 * state: 16-byte buffer, written only on success. Returns 0 or a result code. [ordinal 44] */
NORVEX_API uint32_t NORVEX_CALL NV_GetLoadState(void* state);

/* Reads the sensor state.
 * state: 16-byte buffer, written only on success. Returns 0 or a result code. [ordinal 45] */
NORVEX_API uint32_t NORVEX_CALL NV_GetSensorState(void* state);

/* Reads the fast-scan state.
 * state: 16-byte buffer, written only on success. Returns 0 or a result code. [ordinal 46] */
NORVEX_API uint32_t NORVEX_CALL NV_GetFScanState(void* state);

/* Reads the slow-scan state.
 * state: 16-byte buffer, written only on success. Returns 0 or a result code. [ordinal 47] */
NORVEX_API uint32_t NORVEX_CALL NV_GetSScanState(void* state);

/* Reads the system error record.
 * state: 8-byte buffer, written only on success. Returns 0 or a result code. [ordinal 48] */
NORVEX_API uint32_t NORVEX_CALL NV_GetSystemError(void* state);

/* Reads the focus-setting state.
 * state: 8-byte buffer, written only on success. Returns 0 or a result code. [ordinal 49] */
NORVEX_API uint32_t NORVEX_CALL NV_GetSetFocusState(void* state);

/* Reads the laser-head sending-control state.
 * state: 28-byte buffer, written only on success. Returns 0 or a result code. [ordinal 50] */
NORVEX_API uint32_t NORVEX_CALL NV_GetLHSentCtrlState(void* state);

/* Reads the medium search state.
 * state: 40-byte buffer, written only on success. Returns 0 or a result code. [ordinal 51] */
NORVEX_API uint32_t NORVEX_CALL NV_GetFindMediumState(void* state);

/* Reads the kernel (firmware) version.
 * version: 4-byte buffer, written only on success. Returns 0 or a result code. [ordinal 52] */
NORVEX_API uint32_t NORVEX_CALL NV_GetKernelVersion(void* version);

/* Reads the FPGA version.
 * version: 4-byte buffer, written only on success. Returns 0 or a result code. [ordinal 53] */
NORVEX_API uint32_t NORVEX_CALL NV_GetFPGAVersion(void* version);

/* Reads the kernel name text.
 * kernelName: 500-byte buffer (any length up to 500 is accepted). Returns 0 or a result code. [ordinal 54] */
NORVEX_API uint32_t NORVEX_CALL NV_GetKernelName(void* kernelName);

/* Reads the USB state.
 * state: 4-byte buffer, written only on success. Returns 0 or a result code. [ordinal 55] */
NORVEX_API uint32_t NORVEX_CALL NV_GetUSBState(void* state);

/* Reads the device information.
 * deviceInfo: 32-byte buffer, written only on success. Returns 0 or a result code. [ordinal 56] */
NORVEX_API uint32_t NORVEX_CALL NV_GetDeviceInfo(void* deviceInfo);

/* Calls a main-unit function. selector: 4 bytes (group word, item word); only
 * these 4 bytes are sent. Returns 0 or a result code. [ordinal 57] */
NORVEX_API uint32_t NORVEX_CALL NV_FunctionEx(const void* selector);

/* Runs the flash module function.
 * Returns 0 or a result code. [ordinal 58] */
NORVEX_API uint32_t NORVEX_CALL NV_DoFlashModule(void);

/* Moves the medium (loading).
 * Returns 0 or a result code. [ordinal 59] */
NORVEX_API uint32_t NORVEX_CALL NV_MoveMedium(void);

/* Clears the main unit's USB error state.
 * Returns 0 or a result code. [ordinal 60] */
NORVEX_API uint32_t NORVEX_CALL NV_ClearUSBError(void);

/* Runs the main unit's self-test again.
 * Returns 0 or a result code. [ordinal 61] */
NORVEX_API uint32_t NORVEX_CALL NV_ReSelftest(void);

/* Reads the unit's header and size table, then the sections selected by sectionMask,
 * into the 872-byte paraFile, in chunks of at most the header's read-chunk words
 * (500 bytes at most). Returns 0, 0x10000001/0x10000002, 0x10000003 (a read chunk of
 * 0 words), 0x101000nn (size of section nn), 0xA0000025 (null paraFile, nothing sent)
 * or a result code. [ordinal 62] */
NORVEX_API uint32_t NORVEX_CALL NV_GetParaFile(MainUnitParaFile* paraFile, uint32_t sectionMask);

/* Writes the sections selected by sectionMask from the 872-byte paraFile (its header
 * and size table are refreshed from the unit first), in chunks of at most the
 * header's write-chunk words (496 bytes at most), then saves them.
 * Returns 0, a parameter-file code (0x10000003: a write chunk of 0 words),
 * 0xA0000025 (null paraFile, nothing sent) or a result code. [ordinal 63] */
NORVEX_API uint32_t NORVEX_CALL NV_SetParaFile(MainUnitParaFile* paraFile, uint32_t sectionMask);

/* Asks the main unit to save the parameter-file sections in sectionMask (sent
 * unchanged). Returns 0 or a result code. [ordinal 64] */
NORVEX_API uint32_t NORVEX_CALL NV_SaveParaFile(uint32_t sectionMask);

/* Repairs the host copy paraFile in place; limits: optional record (upper bound at
 * byte 36, lower at byte 40), or null. Returns the mask of changed sections
 * (0 for a null paraFile). A section 0 divisor of 0 is repaired like any divisor
 * that does not divide 20000 (it becomes 50); a section 4 word brought to the
 * phase never wraps past 65535 (the word at the phase one divisor lower is taken).
 * Does not store LastResult. [ordinal 65] */
NORVEX_API uint32_t NORVEX_CALL NV_CheckParaFile(MainUnitParaFile* paraFile, const void* limits);

/* Moves a motor by a relative distance.
 * moveRecord: 12-byte block, sent unchanged. Returns 0 or a result code. [ordinal 66] */
NORVEX_API uint32_t NORVEX_CALL NV_MotorMove(const void* moveRecord);

/* Moves a motor to an absolute position.
 * moveToRecord: 16-byte block, sent unchanged. Returns 0 or a result code. [ordinal 67] */
NORVEX_API uint32_t NORVEX_CALL NV_MotorMoveTo(const void* moveToRecord);

/* Stops a motor.
 * motorStop: 4-byte block, sent unchanged. Returns 0 or a result code. [ordinal 68] */
NORVEX_API uint32_t NORVEX_CALL NV_MotorStop(const void* motorStop);

/* Runs a print test.
 * testRecord: 16-byte block, sent unchanged. Returns 0 or a result code. [ordinal 69] */
NORVEX_API uint32_t NORVEX_CALL NV_PrintTest(const void* testRecord);

/* Returns a motor to its zero position.
 * returnZero: 4-byte block, sent unchanged. Returns 0 or a result code. [ordinal 70] */
NORVEX_API uint32_t NORVEX_CALL NV_ReturnZero(const void* returnZero);

/* Sets the valves.
 * valveState: 4-byte block, sent unchanged. Returns 0 or a result code. [ordinal 71] */
NORVEX_API uint32_t NORVEX_CALL NV_SetValveState(const void* valveState);

/* Sets the main unit's run mode.
 * runMode: 4-byte block, sent unchanged. Returns 0 or a result code. [ordinal 72] */
NORVEX_API uint32_t NORVEX_CALL NV_SetRunMode(const void* runMode);

/* Searches for the balance block.
 * balanceRecord: 12-byte block, sent unchanged. Returns 0 or a result code. [ordinal 73] */
NORVEX_API uint32_t NORVEX_CALL NV_FindBalanceBlock(const void* balanceRecord);

/* Positions the balance block.
 * balancePosition: 4-byte block, sent unchanged. Returns 0 or a result code. [ordinal 74] */
NORVEX_API uint32_t NORVEX_CALL NV_PosBalanceBlock(const void* balancePosition);

/* Sends value (4 bytes, little-endian) and reads the tail position into the
 * 4-byte buffer tailPosition (written only on success). Returns 0 or a result code. [ordinal 75] */
NORVEX_API uint32_t NORVEX_CALL NV_TailPos(uint32_t value, void* tailPosition);

/* Sends byteCount bytes of print data as one bulk write and waits for it.
 * Returns 0 or the completion's error code. [ordinal 27] */
NORVEX_API uint32_t NORVEX_CALL NV_SentPrintData(const void* data, uint32_t byteCount);

/* Reads at least *byteCount bytes of SDRAM into buffer (room for *byteCount + 500
 * bytes); *byteCount receives the bytes received, also after a failure.
 * Returns 0 or the failing exchange's code. [ordinal 28] */
NORVEX_API uint32_t NORVEX_CALL NV_ReadSDRAMData(void* buffer, uint32_t* byteCount);

/* Returns the highest usable SDRAM index: 63 when the kernel name's version (after
 * its last 'V') is 1.3.0 or higher, else 31, also on failure. LastResult receives
 * the kernel-name query's result, not the return value. [ordinal 29] */
NORVEX_API uint32_t NORVEX_CALL NV_GetMaxSDRAMIndex(void);

/* ---- LH_: laser head board (address 0x42) ---------------------------------- */

/* Reads the board's header and size table, then the sections selected by sectionMask
 * (0x01..0x10), into the 116-byte paraFile. Returns 0, a parameter-file code
 * (0x104200nn for a section size, 0x10000003 for a read chunk of 0 words),
 * 0xA0000025 (null paraFile, nothing sent) or a result code. [ordinal 76] */
NORVEX_API uint32_t NORVEX_CALL LH_GetParaFile(LaserHeadParaFile* paraFile, uint32_t sectionMask);

/* Writes the sections selected by sectionMask from the 116-byte paraFile (header and
 * size table refreshed from the board first), then saves them.
 * Returns 0, a parameter-file code (0x10000003: a write chunk of 0 words),
 * 0xA0000025 (null paraFile, nothing sent) or a result code. [ordinal 77] */
NORVEX_API uint32_t NORVEX_CALL LH_SetParaFile(LaserHeadParaFile* paraFile, uint32_t sectionMask);

/* Asks the laser head board to save the parameter-file sections in sectionMask.
 * Returns 0 or a result code. [ordinal 78] */
NORVEX_API uint32_t NORVEX_CALL LH_SaveParaFile(uint32_t sectionMask);

/* Repairs the host copy paraFile (116 bytes) in place. Returns the mask of changed
 * sections, 0x01..0x08 (0 for a null paraFile). Does not store LastResult. [ordinal 79] */
NORVEX_API uint32_t NORVEX_CALL LH_CheckParaFile(LaserHeadParaFile* paraFile);

/* Sets the laser diode current on the laser head board. value: sent as 4 bytes, little-endian.
 * Returns 0 or a result code. [ordinal 80] */
NORVEX_API uint32_t NORVEX_CALL LH_SetLDCurrent(uint32_t value);

/* Sets the focus on the laser head board. value: sent as 4 bytes, little-endian.
 * Returns 0 or a result code. [ordinal 81] */
NORVEX_API uint32_t NORVEX_CALL LH_SetFocus(uint32_t value);

/* Returns the laser head motor to zero.
 * Returns 0 or a result code. [ordinal 82] */
NORVEX_API uint32_t NORVEX_CALL LH_ReturnZero(void);

/* Moves the laser head motor. moveRecord: 12-byte record, sent unchanged.
 * Returns 0 or a result code. [ordinal 83] */
NORVEX_API uint32_t NORVEX_CALL LH_Move(const void* moveRecord);

/* Moves the laser head motor to a position. moveToRecord: 16-byte record, sent
 * unchanged. Returns 0 or a result code. [ordinal 84] */
NORVEX_API uint32_t NORVEX_CALL LH_MoveTo(const void* moveToRecord);

/* Stops the laser head motor.
 * Returns 0 or a result code. [ordinal 85] */
NORVEX_API uint32_t NORVEX_CALL LH_Stop(void);

/* Reads the laser head state record (group, item; low 16 bits each) of exactly
 * length bytes into buffer. Returns 0 or a result code. [ordinal 86] */
NORVEX_API uint32_t NORVEX_CALL LH_GetStateEx(void* buffer, uint32_t length, uint32_t group, uint32_t item);

/* Reads the laser head board's system state.
 * state: 12-byte buffer, written only on success. Returns 0 or a result code. [ordinal 87] */
NORVEX_API uint32_t NORVEX_CALL LH_GetSystemState(void* state);

/* Reads the board's version into bytes 0..3 and its name into bytes 4..23 of the
 * 24-byte info buffer; stops at the first failure. Returns 0 or a result code. [ordinal 88] */
NORVEX_API uint32_t NORVEX_CALL LH_GetInfo(void* info);

/* Reads the laser head board's UART state.
 * state: 4-byte buffer, written only on success. Returns 0 or a result code. [ordinal 89] */
NORVEX_API uint32_t NORVEX_CALL LH_GetUartState(void* state);

/* Reads the laser head board's error information.
 * state: 8-byte buffer, written only on success. Returns 0 or a result code. [ordinal 90] */
NORVEX_API uint32_t NORVEX_CALL LH_GetErrorInfo(void* state);

/* Reads the laser head board's ADC state.
 * state: 12-byte buffer, written only on success. Returns 0 or a result code. [ordinal 91] */
NORVEX_API uint32_t NORVEX_CALL LH_GetADCState(void* state);

/* Reads the laser head board's PSD state.
 * state: 40-byte buffer, written only on success. Returns 0 or a result code. [ordinal 92] */
NORVEX_API uint32_t NORVEX_CALL LH_GetPSDState(void* state);

/* Reads the laser head board's SF state.
 * state: 20-byte buffer, written only on success. Returns 0 or a result code. [ordinal 93] */
NORVEX_API uint32_t NORVEX_CALL LH_GetSFState(void* state);

/* Reads the laser head motor state.
 * state: 40-byte buffer, written only on success. Returns 0 or a result code. [ordinal 94] */
NORVEX_API uint32_t NORVEX_CALL LH_GetMotorState(void* state);

/* Calls a laser head function. data: 4-byte selector then extraLength parameter
 * bytes (low 16 bits count). Returns 0 or a result code. [ordinal 95] */
NORVEX_API uint32_t NORVEX_CALL LH_FunctionEx(const void* data, uint32_t extraLength);

/* Reads the laser head board's AF state.
 * state: 8-byte buffer, written only on success. Returns 0 or a result code. [ordinal 96] */
NORVEX_API uint32_t NORVEX_CALL LH_GetAFState(void* state);

/* ---- HS_: HS laser driver boards (address 0x20 + board, board 0 or 1) ------ */
/* A board number above 1, and a null pointer, give 0xA0000025 and send nothing. */

/* Reads HS board board's (0 or 1) header, size table and the sections selected by
 * sectionMask (0x01..0x40) into paraFile (2004 bytes + section 6 as the board reports,
 * at most NORVEX_HS_PARA_SECTION6_MAX_WORDS words, so an HsBoardParaFile always
 * holds it). Returns 0, a parameter-file code (0x101F0000 + section for a size,
 * 0x101F0006 for a section 6 above the bound, 0x10000003 for a read chunk of 0
 * words) or a result code. [ordinal 97] */
NORVEX_API uint32_t NORVEX_CALL HS_GetParaFile(uint32_t board, HsBoardParaFile* paraFile,
                                               uint32_t sectionMask);

/* Writes the sections selected by sectionMask from paraFile to HS board board (header
 * and size table refreshed from the board first), then saves them.
 * Returns 0, a parameter-file code (as HS_GetParaFile; 0x10000003 for a write chunk
 * of 0 words) or a result code. [ordinal 98] */
NORVEX_API uint32_t NORVEX_CALL HS_SetParaFile(uint32_t board, HsBoardParaFile* paraFile,
                                               uint32_t sectionMask);

/* Asks HS board board (0 or 1) to save the parameter-file sections in sectionMask.
 * Returns 0 or a result code. [ordinal 99] */
NORVEX_API uint32_t NORVEX_CALL HS_SaveParaFile(uint32_t board, uint32_t sectionMask);

/* Checks the host copy paraFile; no rule is enforced and nothing is changed.
 * Always returns 0. Does not store LastResult. [ordinal 100] */
NORVEX_API uint32_t NORVEX_CALL HS_CheckParaFile(HsBoardParaFile* paraFile);

/* Reads the bus data of the boards in boardMask (bit 0, bit 1); *busData (4 bytes) is
 * zeroed, then each answer's low 16 bits are OR'ed in at a shift of 0, then 2.
 * Returns 0 or the first failing board's code. [ordinal 101] */
NORVEX_API uint32_t NORVEX_CALL HS_GetBusData(uint32_t boardMask, uint32_t* busData);

/* Sets one channel's current. channelRecord: 4 bytes (channel word 0..31, value
 * word); the channel word is rewritten to the board's channel 0..15.
 * Returns 0 or a result code. [ordinal 102] */
NORVEX_API uint32_t NORVEX_CALL HS_SetCurrent(void* channelRecord);

/* Sends 32 bytes of currentList to each board in boardMask, board 0 first; the
 * list moves on 4 bytes after each board served, so with both boards board 1
 * gets bytes 4..35 (currentList: 36 bytes), with board 1 alone bytes 0..31.
 * reserved: accepted and ignored. Returns 0 or the first failing board's code. [ordinal 103] */
NORVEX_API uint32_t NORVEX_CALL HS_SetCurList(uint32_t boardMask, const void* currentList, uint32_t reserved);

/* Sends mode (4 bytes) to each board in boardMask (bit 0, bit 1).
 * Returns 0 or the first failing board's code. [ordinal 104] */
NORVEX_API uint32_t NORVEX_CALL HS_SetMode(uint32_t boardMask, uint32_t mode);

/* Sends period (4 bytes) to each board in boardMask (bit 0, bit 1).
 * Returns 0 or the first failing board's code. [ordinal 105] */
NORVEX_API uint32_t NORVEX_CALL HS_SetPeriod(uint32_t boardMask, uint32_t period);

/* Switches one laser channel. channelRecord: 4 bytes (channel word 0..31, value
 * word); the channel word is rewritten to the board's channel 0..15.
 * Returns 0 or a result code. [ordinal 106] */
NORVEX_API uint32_t NORVEX_CALL HS_SwitchLaser(void* channelRecord);

/* Sends the 16-bit switch pattern (pattern >> shift, shift 0 then 2) to each board
 * in boardMask. Returns 0 or the first failing board's code. [ordinal 107] */
NORVEX_API uint32_t NORVEX_CALL HS_SwitchLaserAll(uint32_t boardMask, uint32_t pattern);

/* Reads HS board board's state record (group, item; low 16 bits each) of exactly
 * length bytes into buffer. Returns 0 or a result code. [ordinal 108] */
NORVEX_API uint32_t NORVEX_CALL HS_GetStateEx(uint32_t board, void* buffer, uint32_t length, uint32_t group,
                                              uint32_t item);

/* Reads an HS board's system state (board 0 or 1).
 * state: 12-byte buffer, written only on success. Returns 0 or a result code. [ordinal 109] */
NORVEX_API uint32_t NORVEX_CALL HS_GetSystemState(uint32_t board, void* state);

/* Reads HS board board's version (bytes 0..3), name (4..35) and FPGA word (36..39)
 * into the 40-byte info buffer; stops at the first failure. Returns 0 or a result code. [ordinal 110] */
NORVEX_API uint32_t NORVEX_CALL HS_GetInfo(uint32_t board, void* info);

/* Reads an HS board's UART state (board 0 or 1).
 * state: 4-byte buffer, written only on success. Returns 0 or a result code. [ordinal 111] */
NORVEX_API uint32_t NORVEX_CALL HS_GetUartState(uint32_t board, void* state);

/* Reads an HS board's error information (board 0 or 1).
 * state: 8-byte buffer, written only on success. Returns 0 or a result code. [ordinal 112] */
NORVEX_API uint32_t NORVEX_CALL HS_GetErrorInfo(uint32_t board, void* state);

/* Reads an HS board's initialisation state (board 0 or 1).
 * state: 4-byte buffer, written only on success. Returns 0 or a result code. [ordinal 113] */
NORVEX_API uint32_t NORVEX_CALL HS_GetInitState(uint32_t board, void* state);

/* Reads an HS board's ADC state (board 0 or 1).
 * state: 52-byte buffer, written only on success. Returns 0 or a result code. [ordinal 114] */
NORVEX_API uint32_t NORVEX_CALL HS_GetADCState(uint32_t board, void* state);

/* Reads an HS board's FPGA state (board 0 or 1).
 * state: 4-byte buffer, written only on success. Returns 0 or a result code. [ordinal 115] */
NORVEX_API uint32_t NORVEX_CALL HS_GetFPGAState(uint32_t board, void* state);

/* Reads an HS board's laser diode state (board 0 or 1).
 * state: 72-byte buffer, written only on success. Returns 0 or a result code. [ordinal 116] */
NORVEX_API uint32_t NORVEX_CALL HS_GetLDState(uint32_t board, void* state);

/* Reads an HS board's DAC7611 converter state (board 0 or 1).
 * state: 32-byte buffer, written only on success. Returns 0 or a result code. [ordinal 117] */
NORVEX_API uint32_t NORVEX_CALL HS_GetDAC7611State(uint32_t board, void* state);

/* Calls a function on each board in boardMask. data: 4-byte selector then extraLength
 * parameter bytes (low 16 bits count). Returns 0 or the first failing board's code;
 * LastResult is set to 0 first, then to each board's result. [ordinal 118] */
NORVEX_API uint32_t NORVEX_CALL HS_FunctionEx(uint32_t boardMask, const void* data, uint32_t extraLength);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* NORVEX_H */
