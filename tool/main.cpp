#include "brannock.h"

int main() { return brannock_run(); }
