// The IPP codec: writing request bodies and reading response bodies in the binary encoding of IPP
// (version 1.0 and 1.1 requests, carried by HTTP POST with the content type "application/ipp").
//
//  - ipp/IppRequest.h: IppMessage, the appenders (AppendByte ... AddIntegerAttribute), the request
//    header, and the complete Get-Jobs, Get-Printer-Attributes and job/printer operation requests.
//  - ipp/IppResponse.h: the bounded response readers (ReadResponseHeader, ReadAttribute), the
//    response walk (WalkResponse) and the job-state and printer-state texts.
//  - ipp/IppSubscription.h: the background watch's requests (event subscriptions, the narrow
//    Get-Printer-Attributes) and the reader of their answers.
//
// Nothing here does any I/O or keeps global state; all functions may be called from any thread on
// separate messages and streams.
#pragma once

#include "ipp/IppRequest.h"
#include "ipp/IppResponse.h"
#include "ipp/IppSubscription.h"
