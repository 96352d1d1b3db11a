#!/bin/sh
# Starts bin/<this script's name> of the portable Drevik bundle this script lies in.
#
# The programs find their libraries in the bundle on their own (RUNPATH). This script only chooses
# the Vulkan loader and driver:
#   - the system's Vulkan loader when it has one, else the bundle's (lib/vulkan-loader);
#   - the system's Vulkan drivers when it has any, else the bundle's software driver (lavapipe).
# DREVIK_VULKAN=bundled uses the bundle's loader and software driver only (no system driver or
# layer); DREVIK_VULKAN=system changes nothing. VK_DRIVER_FILES or VK_ICD_FILENAMES, when set,
# are kept as they are.
set -eu
self=$(readlink -f "$0")
here=$(dirname "$self")
program="$here/bin/$(basename "$self")"
manifest="$here/share/vulkan/icd.d/drevik_lvp_icd.json"

system_has_loader() {
    for ldconfig in /sbin/ldconfig /usr/sbin/ldconfig ldconfig; do
        if command -v "$ldconfig" >/dev/null 2>&1; then
            "$ldconfig" -p 2>/dev/null | grep -q '^[[:space:]]*libvulkan\.so\.1 (.*x86-64' && return 0
            return 1
        fi
    done
    for folder in /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/lib64 /usr/lib /lib64; do
        [ -e "$folder/libvulkan.so.1" ] && return 0
    done
    return 1
}

# The folders the Vulkan loader reads driver manifests from.
system_has_driver() {
    IFS=:
    for folder in ${XDG_CONFIG_DIRS:-/etc/xdg} /etc "${XDG_DATA_HOME:-${HOME:-/nonexistent}/.local/share}" \
        ${XDG_DATA_DIRS:-/usr/local/share:/usr/share}; do
        for file in "$folder"/vulkan/icd.d/*.json; do
            if [ -e "$file" ]; then unset IFS; return 0; fi
        done
    done
    unset IFS
    return 1
}

use_bundled_loader() {
    LD_LIBRARY_PATH="$here/lib/vulkan-loader${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    export LD_LIBRARY_PATH
}
use_software_driver() {
    VK_DRIVER_FILES="$manifest"
    VK_ICD_FILENAMES="$manifest"
    export VK_DRIVER_FILES VK_ICD_FILENAMES
}

case "${DREVIK_VULKAN:-}" in
    bundled)
        use_bundled_loader
        use_software_driver
        VK_LOADER_LAYERS_DISABLE='~implicit~'
        export VK_LOADER_LAYERS_DISABLE
        ;;
    system) ;;
    *)
        system_has_loader || use_bundled_loader
        if [ -z "${VK_DRIVER_FILES:-}${VK_ICD_FILENAMES:-}" ] && ! system_has_driver; then
            use_software_driver
        fi
        ;;
esac
exec "$program" "$@"
