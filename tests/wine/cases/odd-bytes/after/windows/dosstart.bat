C:\windows\system32\quorvel.exe /N
