// Resource numbers shared by the resource scripts and the code; only #define lines, so that the
// resource compiler can read it too.
#pragma once

#define KT_IDI_MAIN 1
#define KT_IDB_BACKGROUND 100
#define KT_IDB_DISABLE 101
#define KT_IDB_NORMAL 102
#define KT_IDB_HIGHLIGHT 103
#define KT_IDB_SELECTED 104
#define KT_IDB_HIGHLIGHTSELECT 105
#define KT_IDB_PRESSED 106
