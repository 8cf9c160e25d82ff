#include "app/widgets/CTransparentStatic2.h"

CTransparentStatic2::CTransparentStatic2(QWidget* parent) : QLabel(parent) {
  // No fill of its own: the toolkit composes the parent's current pixels under the label at every
  // paint, which a copy kept from the first paint could only get wrong.
  setAutoFillBackground(false);
  setAttribute(Qt::WA_TranslucentBackground);
  QPalette colours = palette();
  colours.setColor(QPalette::WindowText, TextColor());
  setPalette(colours);
}
