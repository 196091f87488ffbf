#include "install_state.h"

InstallState state;
