#pragma once

class ConnectionTable;

// The exchange with the origin server of slot Index: the rewritten request goes out when the
// connection is up, every piece of the response is handed to the browser as it arrives, and
// the slot is reset once the server has closed and the browser has been sent everything.
void WinSend_Connect(ConnectionTable &table, int Index);
void WinSend_DataArrival(ConnectionTable &table, int Index);
void Win_SendComplete(ConnectionTable &table, int Index);
void WinSend_Close(ConnectionTable &table, int Index);
