#pragma once
// The program's pictures, compiled in as XPM data. They are read straight
// from that data: a picture read by file name makes Qt look through its
// image and icon plugins first, which costs milliseconds at start-up.
#include <QIcon>
#include <QPixmap>

QIcon programIcon();      // the program icon, 32 x 32
QPixmap versionPicture(); // the version window's picture, 64 x 64
