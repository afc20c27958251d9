// Lets a library of the build exist before its folder holds sources.
