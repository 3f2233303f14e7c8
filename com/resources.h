// com/resources.h - identifiers of the server's resources, shared by
// pemlam22.rc and the code that loads them.
#ifndef REVIRI_COM_RESOURCES_H_
#define REVIRI_COM_RESOURCES_H_

#define REVIRI_TOOLBOX_BITMAP 30000
// The control's face: a 32 by 32 icon drawn at its top-left corner.
#define REVIRI_FACE_ICON 1

#endif  // REVIRI_COM_RESOURCES_H_
