#!/bin/sh
# Stand-in for the tenant key script: writes a key file at the -o path.
[ "$1" = "-o" ] && [ -n "$2" ] && echo "ssh-rsa STANDIN tenant" > "$2"
exit 0
