#pragma once

#include <QString>

// Every file the program keeps lies beside its executable, so a copied program folder takes its data along.
QString databasePath();
QString configPath();
// The lock file beside the database that keeps a second copy of the program off it.
QString lockFilePath();
