#pragma once
// The main window's pictures, drawn by code so that they can be made again exactly: the frame
// strips and panel, the buttons in their three states, the check box, the progress bar's tile and
// background, the speed graph's background and the program's icon. Each is drawn at scale 1 and
// 2 (for screens with twice the pixels) with its one font loaded from its file, never from what
// the machine happens to have configured.

#include <QImage>
#include <QString>
#include <vector>

namespace skinpictures {

// The ids of the pictures (the window's bitmap numbers; 128 is the icon).
std::vector<int> Ids();
// The picture `id` at `scale` (1 or 2); null for an unknown id or when the font cannot be loaded.
QImage Draw(int id, int scale);
// Its file name in the resource folder: "<id>.png", or "<id>@2x.png" at scale 2.
QString FileName(int id, int scale);
// The font file the captions are drawn with.
QString FontFile();

}  // namespace skinpictures
