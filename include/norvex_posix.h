/* norvex_posix.h: the host side of the window stand-in of the POSIX build.
 *
 * On Windows the library follows the device through notifications sent to
 * the host's window and a hook on the thread that called Norvex_Init. On
 * POSIX systems there is no window system, so the library brings a small one:
 * a host creates a window here, passes it to Norvex_Init, and lets its
 * message loop call NorvexHost_DispatchMessages on the same thread. The
 * arrival of a device endpoint in the device folder and the removal of the
 * open device's endpoint then reach the library's hook on that thread, as
 * WM_DEVICECHANGE messages do on Windows. For a device at a tcp: address
 * (NORVEX_DEVICE) the loss of its connection is its removal, and while none
 * is open the address is probed every 250 ms: a device that answers as free
 * is an arrival.
 *
 * The library's message boxes (the log that cannot be opened, a failed write
 * to the command file or a print-data file) are lines on standard error,
 * "Norvex error: TEXT" or "Norvex warning: TEXT", the text in UTF-8. A host
 * that shows them its own way sets the environment variable
 * NORVEX_MESSAGE_FD, before the library is loaded, to the number of a
 * descriptor it keeps open: the lines then go there instead.
 */
#ifndef NORVEX_POSIX_H
#define NORVEX_POSIX_H

#include "norvex.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates a window owned by the calling thread. Null when it cannot. */
NORVEX_API NorvexWindow NORVEX_CALL NorvexHost_CreateWindow(void);

/* Destroys a window of the calling thread: WM_DESTROY goes through the
 * thread's hooks first. Returns 0, or NORVEX_ERR_INVALID_ARGUMENT for an
 * unknown window or one of another thread. */
NORVEX_API uint32_t NORVEX_CALL NorvexHost_DestroyWindow(NorvexWindow window);

/* Delivers the device notifications for the calling thread's windows,
 * waiting at most timeoutMs for the first one. Returns how many messages
 * were delivered. */
NORVEX_API uint32_t NORVEX_CALL NorvexHost_DispatchMessages(uint32_t timeoutMs);

/* ---- The host's files, the device open and the library's texts --------------
 * Besides the window stand-in, a POSIX host may ask the library where it keeps
 * the host's files, write a key of the host's INI file with the library's own
 * writer, learn why the last device open failed, and read the library's texts
 * in UTF-8. None of these stores its result in the last-result word. While the
 * library is being unloaded (see norvex.h), NorvexHost_GetFilesFolder and
 * NorvexHost_GetErrorText return 0 and leave the buffer as it is,
 * NorvexHost_WriteIniString returns 29 and NorvexHost_GetOpenError 259, at
 * once; the window functions are the stand-in's and work as ever, and so does
 * NorvexHost_TextToUtf8, which uses nothing of the library's state. */

/* The folder where the library keeps Varnock.ini and log/UsbDriver.log: the
 * NORVEX_HOME environment variable when set, else the executable's folder when
 * it can be written and is not a folder of the system (/usr and everything
 * under it, /bin, /sbin, /lib*, /etc, /boot, /dev, /proc, /sys, /run and /),
 * else $XDG_STATE_HOME/norvex or ~/.local/state/norvex; chosen once, when the
 * library is loaded. Writes at most capacity - 1 bytes of it and a
 * terminating zero into buffer (nothing when capacity is 0 or buffer is
 * null), never ending inside a UTF-8 character. Returns the folder's length
 * in bytes, without the zero: a return value of capacity or more means the
 * buffer was too small. The text functions below fill a buffer the same way. */
NORVEX_API uint32_t NORVEX_CALL NorvexHost_GetFilesFolder(char* buffer, uint32_t capacity);

/* Sets key to value in [section] of the host's Varnock.ini (in the folder
 * above), as the library itself writes its keys: the file, the section and the
 * key are made when missing, the key's line replaced in place otherwise.
 * Section PrintData, keys CaptureWidth, CaptureFile, PrintDataFile and
 * CompressedFile, are read by Norvex_SetPrintDataSaveIdle. Returns 0;
 * 0xA0000025 for a null text, an empty section or key, a section holding
 * ']', a key holding '=' or blank at either end, or a line break in any of
 * the three; 29
 * (ERROR_WRITE_FAULT) when the file cannot be written. */
NORVEX_API uint32_t NORVEX_CALL NorvexHost_WriteIniString(const char* section, const char* key,
                                                          const char* value);

/* The platform error code of the latest attempt to open the device (by
 * Norvex_Init or at an arrival): 0 when it was opened, 259
 * (ERROR_NO_MORE_ITEMS) when no device endpoint was present (or nobody
 * listens at a tcp: address), 5 (ERROR_ACCESS_DENIED) when the device is
 * held by another host, 1167 (ERROR_DEVICE_NOT_CONNECTED) when an endpoint
 * was there but nobody served it, 1460 (ERROR_TIMEOUT) when the device did
 * not answer the opening in time, 1306 (ERROR_REVISION_MISMATCH) when it
 * speaks another protocol version, 1307 (ERROR_INVALID_OWNER) when the device
 * folder or endpoint belongs to another user or others may write it, 161
 * (ERROR_BAD_PATHNAME) when NORVEX_DEVICE or [Device] Address is no device
 * address. Norvex_Init itself reports each failure as 0xE0000010. */
NORVEX_API uint32_t NORVEX_CALL NorvexHost_GetOpenError(void);

/* The failure text that CTP_GetErrorInfo(errorCode) gives at this moment, in
 * UTF-8 instead of GBK, each Chinese phrase followed by its English meaning in
 * parentheses:
 *     错误编号 (error number) 0xE0000004\n\tSend:(0xC0D0 , 0x0004 , 0x10)\n...
 *     无法进一步获取错误信息! (no further error information)\n错误码为 (the error code is)0x...
 * Unlike CTP_GetErrorInfo it keeps no text of its own: the text goes into the
 * caller's buffer, filled as NorvexHost_GetFilesFolder fills it. Returns the
 * text's length in bytes. */
NORVEX_API uint32_t NORVEX_CALL NorvexHost_GetErrorText(uint32_t errorCode, char* buffer, uint32_t capacity);

/* A text of the library in GBK (a line of log/UsbDriver.log, a text of
 * CTP_GetErrorInfo) in UTF-8, with the English meanings as above. Bytes that
 * belong to none of the library's Chinese phrases are kept where they are
 * UTF-8 already (ASCII, file names) and become '?' where they are not, so the
 * result is always UTF-8. A null text reads as empty. Fills buffer as
 * NorvexHost_GetFilesFolder does and returns the text's length in bytes. */
NORVEX_API uint32_t NORVEX_CALL NorvexHost_TextToUtf8(const char* text, char* buffer, uint32_t capacity);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* NORVEX_POSIX_H */
