# Sourced by the armhf scripts: the target and where its expensive pieces are cached.
ARMHF_TRIPLET=arm-linux-gnueabihf
CACHE=${QUORVELIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvelin}
# The emulator and the armhf interpreter; a separate variable lets a run start them from nothing
# without touching the native interpreter that shares the cache.
ARMHF_CACHE=${QUORVELIN_ARMHF_CACHE:-$CACHE}
