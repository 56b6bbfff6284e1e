#!/bin/sh
# Velmira example helper, installed set-user-ID root and runnable by the group adm only.
# Linux ignores the set-user-ID bit of scripts; a real product installs a compiled helper here.
echo "velmira-helper: real user $(id -run), effective user $(id -un)"
