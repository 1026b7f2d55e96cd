// The per-user product registration file.
#pragma once

void RegisterProduct();
