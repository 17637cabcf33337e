#pragma once
// The program's own icon: two overlapping speech bubbles, drawn at run time
// so that every size is sharp.

#include <QIcon>

namespace parlivo {

QIcon AppIcon();

}  // namespace parlivo
