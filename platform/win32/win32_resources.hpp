#pragma once
// Resource ids the Win32 back end finds in the program: plain defines, as the
// resource compiler reads this file too.

// The program's icon group: the lowest icon id, so the system shows this one
// for the file.
#define TARN_PROGRAM_ICON 1
