/* para_file_layout.c: the parameter-file records of norvex.h have the byte
 * layouts that hosts and units rely on. Compiled as C in every build (and
 * with a 32-bit compiler by hand: the records use fixed-width fields only,
 * so the layout does not depend on the pointer size). */
#include <stddef.h>

#include "norvex.h"

_Static_assert(sizeof(ParaFileHeader) == 8, "ParaFileHeader is 8 bytes");
_Static_assert(offsetof(ParaFileHeader, readChunkWords) == 4, "read chunk at 4");
_Static_assert(offsetof(ParaFileHeader, writeChunkWords) == 6, "write chunk at 6");

_Static_assert(sizeof(MainUnitParaFile) == 872, "MainUnitParaFile is 872 bytes");
_Static_assert(offsetof(MainUnitParaFile, sectionWords) == 8, "main unit size table at 8");
_Static_assert(offsetof(MainUnitParaFile, section0) == 44, "main unit section 0 at 44");
_Static_assert(offsetof(MainUnitParaFile, section1) == 316, "main unit section 1 at 316");
_Static_assert(offsetof(MainUnitParaFile, section2) == 332, "main unit section 2 at 332");
_Static_assert(offsetof(MainUnitParaFile, section3) == 336, "main unit section 3 at 336");
_Static_assert(offsetof(MainUnitParaFile, section4) == 340, "main unit section 4 at 340");
_Static_assert(offsetof(MainUnitParaFile, section5) == 852, "main unit section 5 at 852");
_Static_assert(offsetof(MainUnitParaFile, section6) == 860, "main unit section 6 at 860");
_Static_assert(offsetof(MainUnitParaFile, section7) == 864, "main unit section 7 at 864");
_Static_assert(offsetof(MainUnitParaFile, section8) == 868, "main unit section 8 at 868");

_Static_assert(sizeof(LaserHeadParaFile) == 116, "LaserHeadParaFile is 116 bytes");
_Static_assert(offsetof(LaserHeadParaFile, section0) == 28, "laser head section 0 at 28");
_Static_assert(offsetof(LaserHeadParaFile, section1) == 56, "laser head section 1 at 56");
_Static_assert(offsetof(LaserHeadParaFile, section2) == 64, "laser head section 2 at 64");
_Static_assert(offsetof(LaserHeadParaFile, section3) == 88, "laser head section 3 at 88");
_Static_assert(offsetof(LaserHeadParaFile, section4) == 112, "laser head section 4 at 112");

_Static_assert(sizeof(HsBoardParaFile) == 2004 + 2 * NORVEX_HS_PARA_SECTION6_MAX_WORDS,
               "HsBoardParaFile is 2004 bytes and section 6 at its bound");
_Static_assert(offsetof(HsBoardParaFile, section0) == 36, "HS section 0 at 36");
_Static_assert(offsetof(HsBoardParaFile, section1) == 944, "HS section 1 at 944");
_Static_assert(offsetof(HsBoardParaFile, section2) == 1008, "HS section 2 at 1008");
_Static_assert(offsetof(HsBoardParaFile, section3) == 1088, "HS section 3 at 1088");
_Static_assert(offsetof(HsBoardParaFile, section4) == 1092, "HS section 4 at 1092");
_Static_assert(offsetof(HsBoardParaFile, section5) == 1096, "HS section 5 at 1096");
_Static_assert(offsetof(HsBoardParaFile, section6) == 2004, "HS section 6 at 2004");
