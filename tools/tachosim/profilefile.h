#pragma once

#include "simcard.h"

#include <string>

// Reads a card profile from a JSON object whose keys are CardProfile's field
// names (status words as numbers or hex text); keys left out keep their value.
bool loadProfileFile(const std::string& path, CardProfile* profile, std::string* error);
bool readCertificateFile(const std::string& path, CardProfile* profile);
