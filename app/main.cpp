// kestrixview: the viewer, recorder and controller of an IIDC 1394 camera.
#include "app/CKestrixViewApp.h"

int main(int argc, char** argv) { return CKestrixViewApp().Run(argc, argv); }
