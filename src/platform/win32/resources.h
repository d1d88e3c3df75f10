#pragma once

// Resource identifiers shared by ostrel.rc and the program.

// The program's icon.
#define OSTREL_ICON 1
// The string the Screen Saver Settings list shows for the module.
#define OSTREL_DESCRIPTION 1
