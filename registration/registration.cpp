#include "registration/registration.h"

void RegisterProduct() {}
