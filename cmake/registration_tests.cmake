# (Windows-side registration tests: filled in by the registration work)
