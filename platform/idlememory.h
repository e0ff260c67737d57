#pragma once
// Memory given back while the program idles in the tray. The settings
// window's drawing code and the glyphs of its font stay resident long after
// the window is hidden; the monitoring that goes on touches almost none of it.

// Returns free heap to the system, and asks the kernel to reclaim the clean
// file-backed pages (program code, fonts) of every mapping that holds no
// private data. Nothing is lost: a page needed again is read back in on first
// touch. Pages shared with other processes stay. Returns the number of
// mappings handed to the kernel; 0 where the kernel cannot (before Linux 5.4).
int releaseIdleMemory();
