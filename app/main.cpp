// vorlenta: the window. Without arguments it only relaunches itself with administrator rights;
// the copy started with one argument ("start") opens the window.
#include "app/start_up.h"

int main(int argc, char** argv) {
  if (argc != 2) return vorlenta::app::RelaunchPrivileged();
  return vorlenta::app::RunWindow(argc, argv);
}
