#pragma once

// Registers the compiled-in resource bundle (templates, style sheet, icons).
// The bundle lives in a static library, so it must be pulled in explicitly.
void initZentavoResources();
