#!/bin/sh
# X-Kestro-Action=share
# "Share with Kestro" in Nautilus: Nautilus lists the programs in
# $XDG_DATA_HOME/nautilus/scripts/ under Scripts in a selection's menu and runs them with the
# selected files' names as arguments, in the folder shown. "$@" hands each name on exactly as it
# came (no splitting, no expansion), and "--" keeps a name that starts with "-" a file.
exec kestro-share -- "$@"
