// Keeps norvanectl_lib non-empty before any command file exists.
