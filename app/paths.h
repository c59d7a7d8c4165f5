#pragma once

#include <QString>

// Every file the program keeps lies beside its executable, so a copied program folder takes its data along.
QString databasePath();
QString configPath();
