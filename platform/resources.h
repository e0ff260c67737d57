#pragma once
// The compiled-in pictures live in the core library, which is static: the
// linker keeps them only when something calls their initialiser.
void loadProgramResources();
