/* command_packet_layout.c: the records of norvex.h have the byte layouts that
 * 32-bit hosts rely on. Compiled as C by check_dll_exports.py with the 32-bit
 * Windows compiler (and by nothing else). */
#include <stddef.h>

#include "norvex.h"

#if !defined(_WIN32) || defined(_WIN64)
#error "compile with the 32-bit Windows compiler"
#endif

_Static_assert(sizeof(CommandPacket) == 24, "CommandPacket is 24 bytes");
_Static_assert(offsetof(CommandPacket, requestData) == 0, "requestData at 0");
_Static_assert(offsetof(CommandPacket, requestLength) == 4, "requestLength at 4");
_Static_assert(offsetof(CommandPacket, replyData) == 8, "replyData at 8");
_Static_assert(offsetof(CommandPacket, replyLength) == 12, "replyLength at 12");
_Static_assert(offsetof(CommandPacket, address) == 16, "address at 16");
_Static_assert(offsetof(CommandPacket, command) == 18, "command at 18");
_Static_assert(offsetof(CommandPacket, replyAddress) == 20, "replyAddress at 20");
_Static_assert(offsetof(CommandPacket, replyCommand) == 22, "replyCommand at 22");
_Static_assert(sizeof(NorvexWindow) == 4, "a window handle is 4 bytes");
