# The program's version, the one place it is written: the analytics events,
# the Windows version block and the Windows manifest take it from here.
set(ZRVK_VERSION 3.5.3)
