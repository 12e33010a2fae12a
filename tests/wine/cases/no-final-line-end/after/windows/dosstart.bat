@ECHO OFF
SET  BLASTER=A220 I5  D1 T4
C:\windows\system32\quorvel.exe /N
