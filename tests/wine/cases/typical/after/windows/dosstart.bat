C:\WINDOWS\SYSTEM\quorvel.exe /N
MSCDEX /D:MSCD001
C:\windows\system32\quorvel.exe /N
