# (fuzz targets: filled in by the registration work)
