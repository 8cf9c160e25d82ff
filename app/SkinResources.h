#pragma once
// The main window's pictures from the program's resources (:/skin/<id>.png, drawn by
// tools/skinpictures): the twice-as-large version on screens with more than one device pixel per
// pixel, so that pictures stay sharp at 1.5 and 2.

#include <QIcon>
#include <QImage>

// Picture `id` for the current screens; null when the program has no such picture.
QImage SkinPicture(int id);
// Picture `id` for screens of `devicePixelRatio` (above 1: the twice-as-large one, whose logical
// size is the same).
QImage SkinPicture(int id, qreal devicePixelRatio);
// The program's icon (picture 128) in both sizes.
QIcon SkinIcon();
